#pragma once

#include "Torvi/HardwareAPI/devices/Device.hpp"
#include "Torvi/HardwareAPI/devices/HandleMessages.hpp"

#include <cstddef>
#include <cstdint>

namespace Torvi::HardwareAPI::Devices {

/// The hand-held handle, wired or wireless. It sends three requests, reads
/// one reply per Receive and hands it to its event handlers, and reads
/// byte-stuffed status frames. It keeps nothing between calls.
///
/// Subclasses receive the handle's events by overriding the handlers: the
/// field-wise handler of a reply runs first, the record handler second, both
/// on the thread that called Receive. A handler that throws ends Receive at
/// once (the record handler of that reply is not called) and the exception
/// reaches the caller of Receive; the reply has been consumed by then.
class Handle : public Device {
public:
    /// What Receive returns when no known reply arrived.
    static constexpr int kNoReply = -1;
    /// The status reader's search for a frame header gives up once this many
    /// time-outs have passed since the read began (or the stream has failed,
    /// or kMaxDiscardedBytes were skipped), and returns NoAnswerStatus().
    static constexpr int kStatusSearchTimeouts = 2;
    /// Stray bytes the status reader skips before it gives up.
    static constexpr std::size_t kMaxDiscardedBytes = Device::kBufferSize;

    /// A handle on `stream` (borrowed; it must outlive the handle). Nothing
    /// is sent.
    explicit Handle(IO::SerialStream* stream);
    virtual ~Handle() = default;

    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    /// Writes the one-byte wakeup request (0x0A); reads nothing. A handle
    /// answers with an info response or a status message for Receive.
    void SendDeviceWakeup();

    /// Writes the one-byte status request (0xDA); reads nothing.
    void RequestStatus();

    /// Writes the HandleState request: 0xDB, `device_id` little-endian,
    /// `data_length`, then exactly `data_length` bytes from `user_data`.
    /// A null `user_data` with a non-zero `data_length` is refused with
    /// std::invalid_argument and nothing is written.
    void SendHandleState(uint16_t device_id, uint8_t data_length, const uint8_t* user_data);

    /// Reads one reply and delivers it to the handlers. Returns the number of
    /// payload bytes read, or kNoReply when the header code was not a known
    /// reply (including the 0 of a time-out); an unknown byte is consumed and
    /// nothing else is read. When a payload read comes short (time-out or
    /// failed stream) the handlers still run, with the fields of the missing
    /// part zero, and the short count is returned. A payload wait cancelled
    /// through a CancellationScope ends Receive with the count read so far
    /// and no handler called: nothing came from the device to deliver.
    int Receive();

    /// The status reader: reads one HandleStatusFrame and decodes it. Bytes
    /// before the frame's header code are skipped, within the bound above.
    /// No header at all gives NoAnswerStatus() (error_flag 2); a frame that
    /// comes short or does not unstuff to 18 bytes gives BadFrameStatus()
    /// (error_flag 1). Never throws for device trouble.
    HandleStatus GetQuillonetStatus();

    // Event handlers, each doing nothing by default. The record handlers get
    // the whole decoded reply; the pointers handed to
    // OnReceiveHandleStatusMessage point into that record and are valid only
    // during the call.
    virtual void OnHandleInfoResponse(const HandleInfoResponse& info);
    virtual void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id,
                                     uint8_t device_model_number, uint8_t hardware_version,
                                     uint8_t firmware_version);
    virtual void OnHandleStatusMessage(const HandleStatusMessage& message);
    /// `quaternion` points to 4 floats, `user_data` to at least
    /// `user_data_length` bytes.
    virtual void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion,
                                              uint8_t error_flag, uint8_t hall_effect_sensor_level,
                                              uint8_t user_data_length, const uint8_t* user_data);
    virtual void OnHandleErrorResponse(const HandleErrorResponse& error);
    virtual void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code);

private:
    int ReceiveInfoResponse();
    int ReceiveStatusMessage();
    int ReceiveErrorResponse();

    /// AwaitBytes(n); when the read comes short, the first n bytes of
    /// `receive_buffer` are zeroed so that what an earlier reply left there
    /// is never decoded as part of this one.
    unsigned AwaitPayload(unsigned n);

    /// Whether the status reader may wait for another header code.
    bool MaySkipMore(double elapsed_seconds, std::size_t discarded) const;
};

} // namespace Torvi::HardwareAPI::Devices
