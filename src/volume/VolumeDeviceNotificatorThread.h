#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The volume probes: each arrived volume is examined on a thread of its own,
// one probe at a time, to find out whether it lies on the service's disk; if
// it does, the volume is recorded as detected and its GUID path, device and
// mount points are written to the mounted-drive record. The table of live
// probes lets the watchdog end probes that overstay and the service end them
// all when it stops. A probe is never killed: an ended probe is told so, its
// pauses are woken, its hold on the probe lock passes on at once, and it
// writes and logs nothing more while it runs out by itself. Process-wide;
// every operation is static and thread-safe.
class VolumeDeviceNotificatorThread {
 public:
  // Starts a probe of the volume with interface path `interfacePath`; false
  // when no thread could be started.
  static bool scheduleTask(const std::u16string& interfacePath);
  // Forgets the finished probe `threadId`; nothing when it is not in the table.
  static void rmTask(uint32_t threadId);
  // Ends the probes that started more than 200 s before `now` (seconds of the UTC day).
  static void checkForDeadThreads(uint32_t now);
  // Ends every probe.
  static void shutdown();

  // Decides whether a probe may write the mounted-drive record now, and
  // writes it (`write`) when it may: the mount's owner installs it, so that
  // a probe never writes the record of a disk that is being removed or gone.
  // Without one, records are written.
  using RecordGate = std::function<bool(const std::function<void()>& write)>;
  static void setRecordGate(RecordGate gate);

  // Replaces the pause before each inquiry attempt (tests); returns the previous one.
  static std::chrono::milliseconds swapPause(std::chrono::milliseconds pause);

  // What a probe's thread shares with the table (opaque).
  struct Probe;

 private:
  static uint32_t taskRun(const std::shared_ptr<Probe>& probe);
  // Records the recognised volume as detected and writes the mounted-drive record.
  static void recordOurVolume(Probe& probe, const std::u16string& path, const std::u16string& device,
                              const std::u16string& volumeGuid);
  static RecordGate recordGate();
  // The probe's creation time, seconds of the UTC day.
  static uint32_t getThreadStartTime(const Probe& probe);
};
