// The stand-in host's implementation (being written).
#include "host/host.h"
