#pragma once
// zrSound: the wave-out device with two buffer slots, through which the playback driver hands
// CD audio (PCM, 2 channels, 44100 Hz, 16-bit little-endian) to the platform's default output.
//
// The declaration is the same on every platform; the device itself is a back end chosen by the
// build (wave_winmm.cpp: waveOut; wave_alsa.cpp: ALSA PCM "default"), reached through
// playback/wave_device.h. The slot logic (wave_slots.cpp) is shared by both.
//
// Threads:
//   - the playback driver's thread: construction, open, free_slot, write, audio_pending, close,
//     release_header, destruction;
//   - the device's completion thread (a winmm thread, or the ALSA back end's device thread):
//     on_wave_done only. It records that a slot's buffer is finished and nothing else: it calls no
//     device function. The slot is released (header unprepared, then the data pointer cleared) on
//     the driver's thread, the next time it calls free_slot, write, audio_pending or close.
//
// Buffers belong to the caller: zrSound stores their address and length, never copies, allocates
// or frees them. A buffer must stay valid and unchanged from the write that queued it until its
// slot reads free again, or until close has returned.
//
// While a device is open, completions name the object's address, so an open zrSound is neither
// copied nor moved, and it must outlive its device: close it before it ends (the destructor closes
// a device still open rather than leave completions pointing into a dead object).

#include <atomic>
#include <cstdint>

// Messages that reach on_wave_done (the waveOut values; the ALSA back end reports `done` only).
namespace wave_message {
inline constexpr std::uint32_t open = 0x3BB;
inline constexpr std::uint32_t close = 0x3BC;
inline constexpr std::uint32_t done = 0x3BD;
}  // namespace wave_message

// The back end's state for one open device: a waveOut handle with the two headers and the format,
// or an ALSA PCM with its device thread. Defined by each back end.
struct WaveDevice;

// One buffer slot.
struct WaveSlot {
    // The slot's state word: null = free; non-null = a buffer was handed to the device and its
    // slot has not been released yet. Stored on the driver's thread only (write sets it, the
    // release clears it) with release ordering, loaded with acquire; the clearing store is the last
    // change a release makes to the slot.
    std::atomic<const std::uint8_t *> data{nullptr};
    // Bytes in that buffer; driver's thread only.
    std::int32_t length = 0;
    // Set by the completion (release store) once the device has finished with the queued buffer;
    // read by the driver's thread (acquire load) before it releases the slot; reset by write
    // before the buffer is queued.
    std::atomic<bool> finished{false};
};

// Frames (4 bytes each) the listener has heard from the zrSound whose device is open now, counted
// from its open; -1 when no device is open. Any thread: it is how the status line follows what is
// heard rather than what was fetched. One device open at a time (the one playback driver); open
// and close take the same lock as this query, so a device is never closed under it.
std::int64_t wave_frames_heard();

// Pauses (true) or resumes (false) the sound: the open device stops where it stands, keeping what
// it holds, and resumes at the very next frame; a device opened while paused starts paused. Any
// thread; takes the same lock as wave_frames_heard, which keeps counting only what was heard.
void wave_pause(bool paused);

class zrSound {
public:
    zrSound() = default;
    ~zrSound() { close(); }
    zrSound(const zrSound &) = delete;
    zrSound &operator=(const zrSound &) = delete;

    // Opens the default output for CD audio. 1 = open; 0 = failed, with nothing left open.
    // Called once, on a closed object.
    int open();

    // Stops playback at once (what is queued is not heard), hands back every queued buffer (both
    // slots read free afterwards) and closes the device. No completion touches the object once it
    // has returned. On a closed object it does nothing. A device that refuses to close (it still
    // holds a buffer its stop did not hand back) may read that buffer at any time for the rest of
    // the process: its slot stays taken and kept_by_device names the buffer. Answers the frames
    // heard from the open to the moment the sound stopped; -1 on a closed object.
    std::int64_t close();

    // After close: true when `data` is a buffer the device kept, which the caller must then never
    // free, reuse or change. False while a device is open.
    bool kept_by_device(const std::uint8_t *data) const;

    // 1 when slot 1 is free (preferred), else 2 when slot 2 is free, else 0. Slots whose buffer
    // the device has finished with are released first.
    int free_slot();

    // Queues `length` bytes at `data` on slot 1 or 2. In this order, the first that applies:
    //   no device open                     -> 1, nothing happens (even for a bad slot number);
    //   slot not 1 or 2, length <= 0,
    //   data null, or the slot still taken -> 0, nothing changes;
    //   the device refuses the buffer      -> 0, the slot stays free;
    //   otherwise                          -> 1, the slot is taken until the device is done.
    // Buffers play in the order written.
    int write(int slot, const std::uint8_t *data, int length);

    // True while anything written is still to be heard: a slot is taken, or the device still
    // holds audio it has taken from a released slot (ALSA's ring buffer). Becomes false by itself
    // once everything has played. False on a closed object.
    bool audio_pending();

    // True once the open device has stopped working for good (it said why on standard error):
    // nothing written now will be heard, so playback should end. False on a closed object.
    bool device_failed();

    // The completion callback, in the waveOut callback's shape (the back end forwards to it):
    // for wave_message::done, `instance` is the zrSound and `header` names the finished slot's
    // header; every other message is ignored. The device and `param2` are not used.
    static void on_wave_done(void *device, std::uint32_t message, std::uintptr_t instance,
                             std::uintptr_t header, std::uintptr_t param2);

    // Releases one of the object's two slots whose buffer is finished: unprepares its header,
    // clears its length, then clears its data pointer. Driver's thread.
    void release_header(WaveSlot *slot);

private:
    void release_finished_slots();
    void wait_for_handed_back_buffers();

    // Null whenever no device is open. Written on the driver's thread only: set after the device
    // is open (before any buffer can complete), cleared after the last completion (close).
    // Completions read it to find the finished slot.
    WaveDevice *device_ = nullptr;
    WaveSlot slots_[2];
};
