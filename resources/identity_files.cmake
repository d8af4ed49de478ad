# Writes the deliverables' identity files (Windows version resource, macOS Info.plist and PkgInfo) from the
# property list file the build generated, so that names and version are stated once, in the effect's identity.
# Run as: cmake -DPIPL=<file> [-DOUT_RC=<file>] [-DOUT_PLIST=<file> -DOUT_PKGINFO=<file> -DEXECUTABLE=<name>]
#               -P identity_files.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT PIPL)
  message(FATAL_ERROR "identity_files: PIPL=<property list file> is required")
endif()
file(READ "${PIPL}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
if(size LESS 10)
  message(FATAL_ERROR "identity_files: '${PIPL}' is too short for a property list (${size} bytes)")
endif()

# The header's first field, the format version 1, tells the byte order.
string(SUBSTRING "${hex}" 0 4 first)
if(first STREQUAL "0100")
  set(little_endian TRUE)
elseif(first STREQUAL "0001")
  set(little_endian FALSE)
else()
  message(FATAL_ERROR "identity_files: '${PIPL}' does not start with property list version 1")
endif()

# Reads an unsigned integer of `count` bytes at byte `offset` in the file's byte order.
function(read_uint out offset count)
  math(EXPR end "${offset} + ${count}")
  if(end GREATER size)
    message(FATAL_ERROR "identity_files: '${PIPL}' ends inside a field at byte ${offset}")
  endif()
  set(digits "")
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    if(little_endian)
      math(EXPR at "(${offset} + ${last} - ${i}) * 2")
    else()
      math(EXPR at "(${offset} + ${i}) * 2")
    endif()
    string(SUBSTRING "${hex}" ${at} 2 byte)
    string(APPEND digits "${byte}")
  endforeach()
  math(EXPR value "0x${digits}")
  set(${out} ${value} PARENT_SCOPE)
endfunction()

# A four-character code: the 32-bit integer's bytes, most significant first, as characters.
function(read_code out offset)
  read_uint(value ${offset} 4)
  set(text "")
  foreach(shift 24 16 8 0)
    math(EXPR c "(${value} >> ${shift}) & 0xFF")
    string(ASCII ${c} ch)
    string(APPEND text "${ch}")
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# A Pascal string: a length byte, then the characters.
function(read_pascal out offset)
  read_uint(length ${offset} 1)
  set(text "")
  if(length GREATER 0)
    foreach(i RANGE 1 ${length})
      math(EXPR at "${offset} + ${i}")
      read_uint(c ${at} 1)
      string(ASCII ${c} ch)
      string(APPEND text "${ch}")
    endforeach()
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

read_uint(count 6 4)
set(offset 10)
foreach(i RANGE 1 ${count})
  math(EXPR key_offset "${offset} + 4")
  read_code(key ${key_offset})
  math(EXPR value_offset "${offset} + 16")
  math(EXPR length_offset "${offset} + 12")
  read_uint(length ${length_offset} 4)
  if(key STREQUAL "name")
    read_pascal(name ${value_offset})
  elseif(key STREQUAL "eMNA")
    read_pascal(match_name ${value_offset})
  elseif(key STREQUAL "catg")
    read_pascal(category ${value_offset})
  elseif(key STREQUAL "kind")
    read_code(kind ${value_offset})
  elseif(key STREQUAL "eVER")
    read_uint(packed_version ${value_offset} 4)
  endif()
  math(EXPR offset "${value_offset} + (${length} + 3) / 4 * 4")
endforeach()
foreach(item name match_name category kind packed_version)
  if(NOT DEFINED ${item})
    message(FATAL_ERROR "identity_files: '${PIPL}' has no ${item}")
  endif()
endforeach()

# The host's packing of an effect version: build in bits 0-8, stage in 9-10, fix version in 11-14, subversion
# in 15-18, the version's low three bits in 19-21 and its higher bits in 26-29.
math(EXPR version "(((${packed_version} >> 26) & 0xF) << 3) | ((${packed_version} >> 19) & 0x7)")
math(EXPR subversion "(${packed_version} >> 15) & 0xF")
math(EXPR bugversion "(${packed_version} >> 11) & 0xF")
math(EXPR build "${packed_version} & 0x1FF")
set(version_text "${version}.${subversion}.${bugversion}")

if(OUT_RC)
  file(WRITE "${OUT_RC}.tmp"
"// Generated from the property list by identity_files.cmake: the module's version resource.
#include <winver.h>

1 VERSIONINFO
FILEVERSION ${version},${subversion},${bugversion},${build}
PRODUCTVERSION ${version},${subversion},${bugversion},${build}
FILEFLAGSMASK VS_FFI_FILEFLAGSMASK
FILEFLAGS 0
FILEOS VOS_NT_WINDOWS32
FILETYPE VFT_DLL
FILESUBTYPE VFT2_UNKNOWN
BEGIN
  BLOCK \"StringFileInfo\"
  BEGIN
    BLOCK \"040904B0\"
    BEGIN
      VALUE \"FileDescription\", \"${name} effect plug-in (${category})\"
      VALUE \"FileVersion\", \"${version_text}.${build}\"
      VALUE \"InternalName\", \"${match_name}\"
      VALUE \"OriginalFilename\", \"${name}.aex\"
      VALUE \"ProductName\", \"${name}\"
      VALUE \"ProductVersion\", \"${version_text}\"
    END
  END
  BLOCK \"VarFileInfo\"
  BEGIN
    VALUE \"Translation\", 0x409, 1200
  END
END
")
  file(COPY_FILE "${OUT_RC}.tmp" "${OUT_RC}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUT_RC}.tmp")
endif()

if(OUT_PLIST)
  if(NOT EXECUTABLE OR NOT OUT_PKGINFO)
    message(FATAL_ERROR "identity_files: OUT_PLIST needs EXECUTABLE and OUT_PKGINFO")
  endif()
  # The bundle identifier in reverse-domain form from the category (the vendor's menu) and the name.
  string(TOLOWER "com.${category}.${name}" bundle_id)
  string(REGEX REPLACE "[^a-z0-9.-]" "-" bundle_id "${bundle_id}")
  # Package type: the plug-in kind; signature: the creator code of the host's effect plug-ins.
  set(signature "FXTC")
  file(WRITE "${OUT_PLIST}.tmp"
"<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">
<plist version=\"1.0\">
<dict>
	<key>CFBundleDevelopmentRegion</key>
	<string>en</string>
	<key>CFBundleExecutable</key>
	<string>${EXECUTABLE}</string>
	<key>CFBundleGetInfoString</key>
	<string>${name} ${version_text} (${match_name})</string>
	<key>CFBundleIdentifier</key>
	<string>${bundle_id}</string>
	<key>CFBundleInfoDictionaryVersion</key>
	<string>6.0</string>
	<key>CFBundleName</key>
	<string>${name}</string>
	<key>CFBundlePackageType</key>
	<string>${kind}</string>
	<key>CFBundleShortVersionString</key>
	<string>${version_text}</string>
	<key>CFBundleSignature</key>
	<string>${signature}</string>
	<key>CFBundleVersion</key>
	<string>${version_text}</string>
	<key>LSMinimumSystemVersion</key>
	<string>10.13</string>
</dict>
</plist>
")
  file(COPY_FILE "${OUT_PLIST}.tmp" "${OUT_PLIST}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUT_PLIST}.tmp")
  file(WRITE "${OUT_PKGINFO}.tmp" "${kind}${signature}")
  file(COPY_FILE "${OUT_PKGINFO}.tmp" "${OUT_PKGINFO}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUT_PKGINFO}.tmp")
endif()
