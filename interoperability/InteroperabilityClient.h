#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "brisvane_export.h"
#include "interoperability/InteroperabilityMessage.h"
#include "interoperability/JSONCoding.h"
#include "interoperability/Message.h"
#include "interoperability/UpdateNotification.h"
#include "runtime/async_stream.h"

namespace brisvane {

// A transport that saves, requests, deletes and listens for messages by key.
//
// The generic operations are templates over the payload type and so cannot be virtual: they
// wrap the payload's coding in the byte-level callbacks below, which implementations override.
// The transport decides when each callback runs, so that building the envelope (and its
// timestamp), encoding, storing, decoding and signalling happen in the order it defines.
//
// Every operation blocks the calling thread until it is done and reports failures by throwing:
// the transport's own errors (for the keychain, OSStatusError), EncodingError and DecodingError,
// all unchanged. Not finding a message is never an error. Threads: as the implementation states;
// the conveniences add no state and no lock.
class BRISVANE_EXPORT InteroperabilityClient {
 public:
  virtual ~InteroperabilityClient() = default;

  // Stores `payload` under `key`, wrapped in a Message of the transport's version and the current
  // time, replacing what was there, and signals the change to the listeners of `key`.
  template <JSONCodable P>
  void saveData(const P& payload, const std::string& key) {
    saveEnvelope(key, [&payload](const JSONEncoder& encoder, const std::string& version) {
      return encoder.encode(Message<P>(payload, version));
    });
  }

  // The message stored under `key`, decoded with payload type P; absent when nothing is stored.
  // Stored bytes that are not such an envelope raise a DecodingError, never give absent.
  template <JSONCodable P>
  std::optional<Message<P>> requestData(const std::string& key) {
    std::optional<Message<P>> result;
    requestEnvelope(key,
                    [&result](const JSONDecoder& decoder, std::span<const std::uint8_t> bytes) {
                      result.emplace(decoder.decode<Message<P>>(bytes));
                    });
    return result;
  }

  // Removes what is stored under `key`, signals the change, and returns the removed message;
  // absent, with nothing signalled, when nothing was stored.
  template <JSONCodable P>
  std::optional<Message<P>> deleteData(const std::string& key) {
    std::optional<Message<P>> result;
    deleteEnvelope(key, [&result](const JSONDecoder& decoder, std::span<const std::uint8_t> bytes) {
      result.emplace(decoder.decode<Message<P>>(bytes));
    });
    return result;
  }

  // One UpdateNotification carrying `key` each time a change of the message under `key` is
  // signalled, until the consumer cancels or drops the stream.
  virtual platform::AsyncStream<UpdateNotification> listenForUpdates(const std::string& key) = 0;

  // Saves under the key that M declares: the same as saveData(payload, M::key()).
  template <class M>
  requires JSONCodable<M> && InteroperabilityMessage<M>
  void saveData(const M& payload) { saveData(payload, std::string(M::key())); }

  // Reads the message stored under the key that M declares: requestData<M>(M::key()).
  template <class M>
  requires JSONCodable<M> && InteroperabilityMessage<M> std::optional<Message<M>> readData() {
    return requestData<M>(std::string(M::key()));
  }

 protected:
  // Builds the envelope of the caller's payload with `version` (its timestamp is taken at that
  // moment) and returns its JSON bytes; throws EncodingError.
  using EnvelopeEncoder = std::function<std::vector<std::uint8_t>(const JSONEncoder& encoder,
                                                                  const std::string& version)>;
  // Decodes stored envelope bytes into the caller's result; throws DecodingError.
  using EnvelopeDecoder =
      std::function<void(const JSONDecoder& decoder, std::span<const std::uint8_t> bytes)>;

  // Calls `encode` once, stores the bytes under `key` and signals the change. An exception of
  // `encode` or of the storing is passed on and nothing is signalled.
  virtual void saveEnvelope(const std::string& key, const EnvelopeEncoder& encode) = 0;
  // Reads the bytes under `key`: false when there are none, else hands them to `decode` (whose
  // exception is passed on) and returns true.
  virtual bool requestEnvelope(const std::string& key, const EnvelopeDecoder& decode) = 0;
  // Reads the bytes under `key`: false when there are none. Else removes them, hands them to
  // `decode`, signals the change when `decode` returned, and returns true.
  virtual bool deleteEnvelope(const std::string& key, const EnvelopeDecoder& decode) = 0;
};

}  // namespace brisvane
