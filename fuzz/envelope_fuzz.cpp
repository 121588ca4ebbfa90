// Feeds arbitrary bytes to the envelope decoder, as if they had been read from the keychain item.
// Any input must either decode or raise a DecodingError; a decoded envelope must encode again and
// decode to the same values.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "interoperability/DecodingError.h"
#include "interoperability/JSONCoding.h"
#include "interoperability/Message.h"
#include "interoperability/UpdateNotification.h"
#include "messages/BrisvaneSettings.h"

using namespace brisvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const auto message = JSONDecoder().decode<Message<BrisvaneSettings>>(text);
    const auto again =
        JSONDecoder().decode<Message<BrisvaneSettings>>(JSONEncoder().encodeToString(message));
    if (again.version() != message.version() || again.timestamp() != message.timestamp() ||
        again.data().isRTPEnabled() != message.data().isRTPEnabled()) {
      std::abort();
    }
  } catch (const DecodingError&) {
    // Expected for most inputs.
  }
  try {
    const auto notification = JSONDecoder().decode<UpdateNotification>(text);
    const auto again =
        JSONDecoder().decode<UpdateNotification>(JSONEncoder().encodeToString(notification));
    if (again.messageKey() != notification.messageKey()) std::abort();
  } catch (const DecodingError&) {
  }
  return 0;
}
