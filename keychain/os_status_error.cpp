#include "keychain/os_status_error.h"

namespace platform {

OSStatusError::OSStatusError(std::int64_t code)
    : domain_(NSOSStatusErrorDomain),
      code_(code),
      description_("The operation couldn\u2019t be completed. (OSStatus error " +
                   std::to_string(code) + ".)") {}

}  // namespace platform
