#include "BrisvaneStateServiceImplementation/KeychainBrisvaneReader.h"

#include <cassert>
#include <string>
#include <utility>

#include "BrisvaneStateServiceImplementation/RTPLog.h"
#include "host/logging.h"
#include "messages/BrisvaneSettings.h"
#include "runtime/clock.h"

namespace brisvane {

namespace {

constexpr char kNoMessageFound[] = "🌗 No Keychain Brisvane RTP message found. Proceeding as usual.";
constexpr char kMessageExpired[] = "🌗 Keychain Brisvane RTP state expired. Defaulting to disabled.";

}  // namespace

KeychainBrisvaneReader::KeychainBrisvaneReader(std::shared_ptr<InteroperabilityClient> client,
                                               WallClock now)
    : client_(std::move(client)), now_(std::move(now)) {
  assert(client_ && "the reader needs a client");
  assert(now_ && "the reader needs a wall clock");
}

KeychainBrisvaneReader::WallClock KeychainBrisvaneReader::defaultWallClock() {
  return [] { return platform::currentTimeIntervalSince1970(); };
}

std::optional<bool> KeychainBrisvaneReader::readRTPState() {
  const auto message = client_->readData<BrisvaneSettings>();
  if (!message) {
    rtpLog(host::logInfo, [] { return std::string(kNoMessageFound); });
    return std::nullopt;
  }
  const double age = now_() - message->timestamp();
  if (age <= messageTimeToLive) return message->data().isRTPEnabled();
  rtpLog(host::logWarning, [] { return std::string(kMessageExpired); });
  return false;
}

platform::AsyncStream<platform::Void> KeychainBrisvaneReader::listenForRTPStateUpdates() {
  // Each notification is passed on as it arrives, on the thread that received it, so no thread
  // waits in between. Ending the signals (their consumer cancelled or dropped them) ends the
  // client's stream, which removes its observer; the end of the client's stream finishes them.
  auto updates = std::make_shared<platform::AsyncStream<UpdateNotification>>(
      client_->listenForUpdates(std::string(BrisvaneSettings::key())));
  return platform::AsyncStream<platform::Void>(
      [updates = std::move(updates)](platform::AsyncStream<platform::Void>::Continuation signals) {
        signals.onTermination([updates] { updates->cancel(); });
        updates->forEach([signals](const UpdateNotification&) { signals.yield(platform::Void{}); },
                         [signals] { signals.finish(); });
      });
}

}  // namespace brisvane
