#include "VolumeMounts.h"

#include <blkid/blkid.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "VolumeNames.h"

using sys::posix::UniqueFd;

namespace {

struct ProbeDeleter {
  void operator()(blkid_probe probe) const { blkid_free_probe(probe); }
};
using Probe = std::unique_ptr<std::remove_pointer_t<blkid_probe>, ProbeDeleter>;

std::string probeValue(blkid_probe probe, const char* name) {
  const char* value = nullptr;
  return blkid_probe_lookup_value(probe, name, &value, nullptr) == 0 && value ? value : "";
}

// What the kernel said about a file system context that failed; empty when
// it said nothing.
std::string kernelMessage(int context) {
  char message[256];
  const ssize_t size = read(context, message, sizeof(message));
  return size > 0 ? std::string(message, static_cast<size_t>(size)) : std::string();
}

// Mounts `device`, holding a file system of `type`, on the directory `point`
// read-write, nosuid and nodev (and noexec when `noexec`); 0 or an errno,
// with what the kernel said in `message`.
int mountOn(int point, const std::string& device, const std::string& type, bool noexec, std::string& message) {
  const UniqueFd context(fsopen(type.c_str(), FSOPEN_CLOEXEC));
  if (!context.valid()) return errno;
  if (fsconfig(context.get(), FSCONFIG_SET_STRING, "source", device.c_str(), 0) != 0 ||
      fsconfig(context.get(), FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) != 0) {
    const int error = errno;
    message = kernelMessage(context.get());
    return error;
  }
  const unsigned attributes = MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | (noexec ? MOUNT_ATTR_NOEXEC : 0u);
  const UniqueFd mount(fsmount(context.get(), FSMOUNT_CLOEXEC, attributes));
  if (!mount.valid() ||
      move_mount(mount.get(), "", point, "", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0) {
    return errno;
  }
  return 0;
}

}  // namespace

std::unique_ptr<VolumeMounts> VolumeMounts::mount(std::unique_ptr<MountDirectory> directory,
                                                  const LoopPartitions& partitions, bool noexec,
                                                  std::shared_ptr<DriverLog> log) {
  std::vector<Volume> volumes;
  for (const int number : partitions.numbers()) {
    if (std::optional<Volume> volume = probe(number, partitions.nodePath(number), *log)) volumes.push_back(*volume);
  }
  std::vector<VolumeNames::Volume> labels;
  for (const Volume& volume : volumes) labels.push_back({volume.partition, volume.label});
  const std::vector<std::string> names = VolumeNames::of(labels);
  std::unique_ptr<VolumeMounts> mounts(new VolumeMounts(std::move(directory), noexec, std::move(log)));
  for (size_t i = 0; i < volumes.size(); ++i) mounts->mountVolume(volumes[i], names[i]);
  return mounts;
}

std::optional<VolumeMounts::Volume> VolumeMounts::probe(int partition, const std::string& device, DriverLog& log) {
  Probe probing(blkid_new_probe_from_filename(device.c_str()));
  if (!probing) {
    log.line("cannot probe %s for a file system: %s; not mounted", device.c_str(), std::strerror(errno ? errno : EIO));
    return std::nullopt;
  }
  blkid_probe_enable_superblocks(probing.get(), 1);
  blkid_probe_set_superblocks_flags(probing.get(), BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_USAGE);
  const int found = blkid_do_safeprobe(probing.get());
  const std::string type = probeValue(probing.get(), "TYPE");
  if (found == 0 && probeValue(probing.get(), "USAGE") == "filesystem") {
    return Volume{partition, device, type, probeValue(probing.get(), "LABEL")};
  }
  if (found == 0) {
    log.line("%s holds %s, which is no file system; not mounted", device.c_str(), type.c_str());
  } else if (found == 1) {
    log.line("%s holds no file system that libblkid knows; not mounted", device.c_str());
  } else if (found == -2) {
    log.line("%s holds the signatures of more than one file system; not mounted", device.c_str());
  } else {
    log.line("cannot probe %s for a file system; not mounted", device.c_str());
  }
  return std::nullopt;
}

void VolumeMounts::mountVolume(const Volume& volume, const std::string& name) {
  const char* device = volume.device.c_str();
  if (!directory_->mounts(volume.type)) {
    log_->line("%s holds %s, which is not among the file systems mounted for users other than root "
               "(--user-fs-types); not mounted",
               device, volume.type.c_str());
    return;
  }
  const std::string fallback = VolumeNames::fallback(volume.partition);
  std::string chosen = name;
  int error = 0;
  UniqueFd point = directory_->makeMountPoint(chosen, error);
  if (!point.valid() && error == EEXIST && chosen != fallback) {
    chosen = fallback;
    log_->line("%s exists already: mounting %s at %s instead", directory_->pathOf(name).c_str(), device,
               directory_->pathOf(chosen).c_str());
    point = directory_->makeMountPoint(chosen, error);
  }
  const std::string path = directory_->pathOf(chosen);
  if (!point.valid()) {
    log_->line("cannot make the mount point %s for %s: %s; not mounted", path.c_str(), device,
               error == EEXIST ? "something else has that name" : std::strerror(error));
    return;
  }
  std::string message;
  error = mountOn(point.get(), volume.device, volume.type, noexec_, message);
  point.reset();
  if (error != 0) {
    log_->line("cannot mount %s (%s) at %s: %s%s%s; not mounted", device, volume.type.c_str(), path.c_str(),
               std::strerror(error), message.empty() ? "" : ": ", message.c_str());
    directory_->removeMountPoint(chosen);
    return;
  }
  mounted_.push_back({volume.device, chosen});
  log_->line("mounted %s (%s, label \"%s\") read-write, nosuid, nodev%s at %s", device, volume.type.c_str(),
             volume.label.c_str(), noexec_ ? ", noexec" : "", path.c_str());
}

bool VolumeMounts::unmount() {
  bool detachedLazily = false;
  for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) {
    const std::string point = directory_->pathOf(it->name);
    if (umount2(point.c_str(), UMOUNT_NOFOLLOW) == 0) {
      log_->line("unmounted %s from %s", it->device.c_str(), point.c_str());
    } else if (errno == EBUSY && umount2(point.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) == 0) {
      detachedLazily = true;
      log_->line("%s is in use: detached it lazily; %s stays in use until its last user leaves", point.c_str(),
                 it->device.c_str());
    } else {
      log_->line("cannot unmount %s: %s", point.c_str(), std::strerror(errno));
    }
    if (const int error = directory_->removeMountPoint(it->name)) {
      log_->line("cannot remove the mount point %s: %s", point.c_str(), std::strerror(error));
    }
  }
  mounted_.clear();
  directory_->removeIfEmpty();
  return detachedLazily;
}
