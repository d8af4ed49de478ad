// Scoped acquisition of one host suite by name and version, released when the scope ends.
#pragma once

#include "api/suites.h"

// On failure it reports "Not able to acquire AEFX Suite." through the out-data and throws the integer 13,
// which EffectMain turns back into the command's error.
template <typename SUITE>
class AEFX_SuiteScoper {
public:
    AEFX_SuiteScoper(const PF_InData *in_data, const char *suite_name, int32_t suite_version,
                     PF_OutData *out_data = nullptr, const char *error_text = "Not able to acquire AEFX Suite.")
        : name_(suite_name), version_(suite_version), basic_(in_data->pica_basicP) {
        const void *suite = nullptr;
        // A host without a basic suite has no suites at all: the same failure as a missing one.
        SPErr err = basic_ ? basic_->AcquireSuite(name_, version_, &suite) : SPErr(A_Err_MISSING_SUITE);
        if (err != 0 || suite == nullptr) {
            if (out_data) {
                out_data->out_flags |= PF_OutFlag_DISPLAY_ERROR_MESSAGE;
                if (in_data->utils && in_data->utils->ansi.sprintf) {
                    (*in_data->utils->ansi.sprintf)(out_data->return_msg, "%s", error_text);
                }
            }
            // A host that reports success without a table counts as a missing suite; give back what it counted.
            if (err == 0 && basic_) basic_->ReleaseSuite(name_, version_);
            throw static_cast<A_long>(A_Err_MISSING_SUITE);
        }
        suite_ = static_cast<const SUITE *>(suite);
    }
    ~AEFX_SuiteScoper() {
        if (suite_) basic_->ReleaseSuite(name_, version_);
    }
    AEFX_SuiteScoper(const AEFX_SuiteScoper &) = delete;
    AEFX_SuiteScoper &operator=(const AEFX_SuiteScoper &) = delete;

    const SUITE *operator->() const { return suite_; }
    const SUITE *get() const { return suite_; }

private:
    const char *name_;
    int32_t version_;
    SPBasicSuite *basic_;
    const SUITE *suite_ = nullptr;
};
