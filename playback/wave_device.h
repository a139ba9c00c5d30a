#pragma once
// What a wave back end supplies to zrSound's slot logic (wave_slots.cpp). One implementation per
// platform, chosen by the build: wave_winmm.cpp (waveOut) or wave_alsa.cpp (ALSA); the slot tests
// link a fake one. Every function here is called on the playback driver's thread.

#include <cstdint>

#include "playback/wave_out.h"

// Reads the sound system's configuration ahead of the first open. Called by `main` before any
// thread starts: ALSA parses its configuration files character by character through stdio, which
// locks every call once a process has a second thread. waveOut has nothing to read.
void wave_output_prepare();

// Opens the default output for 16-bit, 2-channel PCM at 44100 Hz. Completions are reported by
// calling zrSound::on_wave_done(..., wave_message::done, (uintptr_t)sound, header, ...) from the
// device's own thread, once per buffer the device accepted, with a header value that
// wave_device_slot_of maps back to the slot. Null on failure, with nothing left open.
WaveDevice *wave_device_open(zrSound *sound);

// Hands the buffer to the device for slot 1 or 2 (waveOut: fill, prepare and write the slot's
// header). The slot's previous buffer, if any, has completed and been unprepared. False when the
// device refused it: then no completion will come for it and nothing of it stays prepared.
bool wave_device_queue(WaveDevice *device, int slot, const std::uint8_t *data, std::int32_t length);

// Undoes the queue's preparation of a slot whose completion has been seen (waveOut: unprepare the
// header). Harmless on a header that is not prepared.
void wave_device_unprepare(WaveDevice *device, int slot);

// The slot (1 or 2) that a completion's header value names; 0 for none. Called on the completion
// thread, so it only reads what does not change while the device is open.
int wave_device_slot_of(const WaveDevice *device, std::uintptr_t header);

// Stops playback at once: every buffer still queued is handed back, its completion reported,
// before this returns or soon after (waveOut does not say on which thread). Answers the frames heard
// since open up to the moment the sound stopped, taken as close to that moment as the device allows
// (ALSA: just before the stream is dropped; waveOut: just before the reset, which sets its position
// back to 0), so a jump goes on from where the listener really was.
std::int64_t wave_device_stop(WaveDevice *device);

// After wave_device_stop and the hand-back: leaves both headers unprepared, closes the device and
// frees its state. No completion is reported after this returns. False when the device refused to
// close (waveOut still holds a buffer that its reset did not hand back): it may still read every
// buffer it holds, at any time, so those buffers must never be freed or reused, and its state is
// kept for the completion that may yet come (which reaches no zrSound).
bool wave_device_close(WaveDevice *device);

// True once the device has stopped working for good (unplugged, or failing whatever is tried); the
// back end has said so on standard error. From then on it refuses buffers and has handed back every
// buffer it held. waveOut answers false.
bool wave_device_failed(WaveDevice *device);

// True while the device still holds audio from buffers already reported complete (ALSA's ring
// buffer); waveOut completes a buffer only once it has been played, so it answers false.
bool wave_device_playing(WaveDevice *device);

// Pauses or resumes the device where it stands (waveOut: waveOutPause/waveOutRestart; ALSA: the
// device thread pauses the stream, or on a device that cannot pause stops feeding it). Any thread
// while the device is open (zrSound's lock keeps it open).
void wave_device_pause(WaveDevice *device, bool paused);

// Frames of audio heard since the device opened: what the device has taken from the buffers minus
// what it still holds (waveOut's position; ALSA's frames written minus its delay). May be called on
// any thread while the device is open; zrSound keeps it open for the call (see wave_frames_heard).
std::int64_t wave_device_frames_heard(WaveDevice *device);
