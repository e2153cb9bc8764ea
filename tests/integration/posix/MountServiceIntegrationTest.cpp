// The mount service as its clients see it, as root: vkbvd-service on a
// private system bus with the policy it ships, driven through the bus alone
// (busctl, and a client made of nothing but a D-Bus library), with vkvd
// beside it making a real disk of an ext4 volume image.
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "BusClient.h"
#include "DiskChecks.h"
#include "PrivateBus.h"
#include "ServiceProcess.h"
#include "VkvdProcess.h"
#include "common/LittleEndian.h"
#include "common/WideString.h"
#include "support/TempDir.h"
#include "sys/Registry.h"
#include "sys/posix/PosixRegistry.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr char kClassObject[] = "/com/velkara/MountService/VirtualDisk";
constexpr auto kConditionWait = 30s;
constexpr uid_t kNobody = 65534;
// A user other than root whom the test's bus lets call the service: one
// every Debian system has (the bus serves only users the system knows).
constexpr char kCallerName[] = "daemon";

uid_t callerUid() {
  const passwd* user = getpwnam(kCallerName);
  return user ? user->pw_uid : 0;
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

std::string readText(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string randomBytes(size_t size) {
  std::mt19937 generator(size);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

bool waitFor(const std::function<bool()>& condition) {
  for (auto waited = 0ms; waited < kConditionWait; waited += 20ms) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

// What a command printed (both streams), and whether it succeeded.
struct Output {
  bool succeeded;
  std::string text;
};

Output runCommand(const std::string& command) {
  Output output{false, {}};
  if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe)) output.text += buffer;
    output.succeeded = pclose(pipe) == 0;
  }
  return output;
}

// The error name a call was answered with; empty when it succeeded.
std::string errorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const sdbus::Error& error) {
    return error.getName();
  }
  return {};
}

// The mounted-drive record as the store holds it.
struct MountedRecord {
  bool present = false;
  std::u16string volumeId;
  std::u16string deviceName;
  std::vector<std::u16string> drives;
};

std::vector<std::u16string> stringsOf(const std::vector<uint8_t>& data) {
  std::vector<std::u16string> strings(1);
  for (size_t at = 0; at + 1 < data.size(); at += 2) {
    const auto unit = static_cast<char16_t>(readLittleEndian(data.data() + at, 2));
    if (unit != 0) {
      strings.back().push_back(unit);
    } else if (strings.back().empty()) {
      break;
    } else {
      strings.emplace_back();
    }
  }
  if (strings.back().empty()) strings.pop_back();
  return strings;
}

MountedRecord readMountedRecord() {
  using sys::Registry;
  sys::posix::PosixRegistry registry;
  Registry::Key key = 0;
  MountedRecord record;
  if (registry.openKeyEx(Registry::HKEY_LOCAL_MACHINE, u"Software\\Velkara Software\\Velkara Backup",
                         Registry::KEY_QUERY_VALUE, key) != 0) {
    return record;
  }
  sys::posix::PosixRegistry::Value volumeId, deviceName, drives;
  record.present = registry.queryValueEx(key, u"MountedVolumeID", volumeId) == 0 &&
                   registry.queryValueEx(key, u"MountedDeviceName", deviceName) == 0 &&
                   registry.queryValueEx(key, u"MountedDrives", drives) == 0;
  registry.closeKey(key);
  const std::vector<std::u16string> volume = stringsOf(volumeId.data);
  const std::vector<std::u16string> device = stringsOf(deviceName.data);
  record.volumeId = volume.empty() ? u"" : volume.front();
  record.deviceName = device.empty() ? u"" : device.front();
  record.drives = stringsOf(drives.data);
  return record;
}

// Sets an environment variable of the test process for the guard's scope.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnvironment() {
    if (previous_) {
      setenv(name_, previous_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

// The service running on a private bus of its own, with a client connected.
class MountServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the service owns its name on the bus as root only";
    if (!run("command -v dbus-daemon >/dev/null && command -v busctl >/dev/null")) {
      GTEST_SKIP() << "needs dbus-daemon and busctl";
    }
    // The test reads the record, and finds vkvd, where the service does.
    state_ = std::make_unique<ScopedEnvironment>("VKBVD_STATE_DIR", stateDir());
    runtime_ = std::make_unique<ScopedEnvironment>("VKBVD_RUNTIME_DIR", runtimeDir());
    bus_ = std::make_unique<PrivateBus>(dir_.path(), busCaller_);
    ASSERT_FALSE(bus_->address().empty()) << readText(dir_.path() / "bus.log");
    service_ = std::make_unique<ServiceProcess>(
        ServiceProcess::Setup{bus_->address(), runtimeDir(), stateDir(), debugLogPath(), errorLogPath()});
    client_ = std::make_unique<BusClient>(bus_->address());
    ASSERT_TRUE(waitFor([&] { return client_->serviceOnBus(); })) << readText(errorLogPath());
  }

  void TearDown() override {
    client_.reset();
    service_.reset();
    bus_.reset();
  }

  fs::path runtimeDir() const { return dir_.path() / "run"; }
  fs::path stateDir() const { return dir_.path() / "state"; }
  fs::path debugLogPath() const { return dir_.path() / "service.log"; }
  fs::path errorLogPath() const { return dir_.path() / "service.err"; }
  std::string log() const { return readText(debugLogPath()); }

  // busctl on the private bus, as user `uid` when it is given.
  Output busctl(const std::string& arguments, int uid = -1) const {
    const std::string as =
        uid < 0 ? ""
                : "setpriv --reuid=" + std::to_string(uid) + " --regid=" + std::to_string(uid) + " --clear-groups ";
    return runCommand(as + "busctl --address=" + bus_->address() + " " + arguments);
  }
  bool objectExists(const std::string& path) const {
    return busctl("introspect --xml-interface com.velkara.MountService " + path).succeeded;
  }

  TempDir dir_;
  std::string busCaller_;  // a user, besides root, whom the bus lets call the service
  std::unique_ptr<ScopedEnvironment> state_;
  std::unique_ptr<ScopedEnvironment> runtime_;
  std::unique_ptr<PrivateBus> bus_;
  std::unique_ptr<ServiceProcess> service_;
  std::unique_ptr<BusClient> client_;
};

// ... with vkvd beside it, and an ext4 volume image with files.
class MountServiceDiskTest : public MountServiceTest {
 protected:
  void SetUp() override {
    if (!disk_checks::canMakeDisks()) GTEST_SKIP() << "a real disk needs root, /dev/fuse and loop devices";
    if (callerUid() == 0) GTEST_SKIP() << "needs the user " << kCallerName;
    busCaller_ = kCallerName;
    MountServiceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    volumes_ = dir_.path() / "volumes";
    const fs::path files = dir_.path() / "files";
    fs::create_directories(files / "docs");
    std::ofstream(files / "hello.txt") << "hello from the backup\n";
    image_ = dir_.path() / "volume.img";
    ASSERT_TRUE(run("truncate -s 32M " + image_.string() + " && mkfs.ext4 -q -F -L BACKUP -d " + files.string() + " " +
                    image_.string()));
    vkvd_ = std::make_unique<VkvdProcess>(runtimeDir(), dir_.path() / "vkvd.log", -1, volumes_);
    ASSERT_FALSE(vkvd_->waitForInterface().empty()) << readText(dir_.path() / "vkvd.log");
  }

  void TearDown() override {
    if (client_ && vkvd_) {
      try {
        client_->umount(client_->createInstance());  // whatever a failed test left mounted
      } catch (const sdbus::Error&) {
      }
    }
    MountServiceTest::TearDown();
    vkvd_.reset();
  }

  // Nothing of the disk is left: no loop device with its partitions, no FUSE
  // or volume mount, no mount point, no identity.
  bool nothingLeft() const {
    std::error_code error;
    const fs::path identity = runtimeDir() / "identity";
    const bool noIdentity = !fs::exists(identity, error) || fs::is_empty(identity, error);
    return noIdentity && disk_checks::loopDevicesBackedFrom(runtimeDir()).empty() &&
           disk_checks::mountsUnder(dir_.path()).empty() && fs::is_empty(volumes_, error);
  }

  fs::path volumes_;
  fs::path image_;
  std::unique_ptr<VkvdProcess> vkvd_;
};

}  // namespace

TEST_F(MountServiceTest, TheApiIsOnTheBusUnderItsNamesAndSignatures) {
  const Output factory = busctl(std::string("introspect com.velkara.MountService ") + kClassObject);
  ASSERT_TRUE(factory.succeeded) << factory.text;
  EXPECT_TRUE(std::regex_search(factory.text, std::regex(R"(\.CreateInstance\s+method\s+-\s+o\s)"))) << factory.text;

  const std::string object = client_->createInstance();
  EXPECT_TRUE(std::regex_match(object, std::regex(R"(/com/velkara/MountService/VirtualDisk/[1-9][0-9]*)"))) << object;
  const Output members = busctl("introspect com.velkara.MountService " + object);
  ASSERT_TRUE(members.succeeded) << members.text;
  for (const char* member : {
           R"(com\.velkara\.MountService\.VirtualDisk\s+interface)",
           R"(\.Mount\s+method\s+sssbssssv\s+i\s)",
           R"(\.Umount\s+method\s+sv\s+i\s)",
           R"(\.UmountWithOutcome\s+method\s+sv\s+is\s)",
           R"(\.CancelMount\s+method\s+-\s+b\s)",
           R"(\.EnumMounted\s+method\s+-\s+iv\s)",
           R"(\.Release\s+method\s+-\s+-\s)",
           R"(com\.velkara\.MountService\.ConnectionPoint\s+interface)",
           R"(\.Advise\s+method\s+-\s+iu\s)",
           R"(\.Unadvise\s+method\s+u\s+i\s)",
           R"(\.EnumConnections\s+method\s+-\s+a\(su\)\s)",
           R"(\.OnEnumMounted\s+signal\s+ss\s)",
           R"(\.OnImageIndexProgress\s+signal\s+iddv\s)",
       }) {
    EXPECT_TRUE(std::regex_search(members.text, std::regex(member))) << member << "\n" << members.text;
  }
}

// Each creation gives a new object, which lives as long as its client holds
// it: until the client releases it or leaves the bus. Only its creator may
// release it or use its connection point: no client takes, lists or stops
// another's events.
TEST_F(MountServiceTest, ObjectsAndSinksGoWithTheClientThatMadeThem) {
  const Output made = busctl(std::string("call com.velkara.MountService ") + kClassObject +
                             " com.velkara.MountService.ClassFactory CreateInstance");
  ASSERT_TRUE(made.succeeded) << made.text;
  std::smatch path;
  ASSERT_TRUE(std::regex_search(made.text, path, std::regex(R"re(o "(/com/velkara/MountService/VirtualDisk/\d+)")re")))
      << made.text;
  EXPECT_TRUE(waitFor([&] { return !objectExists(path[1]); })) << "busctl's object outlived busctl";

  const std::string object = client_->createInstance();
  EXPECT_NE(object, path[1].str());
  EXPECT_EQ(client_->advise(object), std::make_pair(0, 1u));
  EXPECT_EQ(client_->advise(object), std::make_pair(0, 2u));
  EXPECT_EQ(client_->unadvise(object, 1), 0);
  const auto connections = client_->enumConnections(object);
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_EQ(connections[0].get<0>(), client_->uniqueName());
  EXPECT_EQ(connections[0].get<1>(), 2u);

  auto other = std::make_unique<BusClient>(bus_->address());
  const std::string denied = "org.freedesktop.DBus.Error.AccessDenied";
  EXPECT_EQ(errorOf([&] { other->release(object); }), denied);
  EXPECT_EQ(errorOf([&] { other->advise(object); }), denied);
  EXPECT_EQ(errorOf([&] { other->enumConnections(object); }), denied);
  EXPECT_EQ(errorOf([&] { other->unadvise(object, 2); }), denied);
  EXPECT_EQ(client_->enumConnections(object).size(), 1u);
  // The object's methods are open to whoever holds it.
  EXPECT_EQ(errorOf([&] { other->enumMounted(object); }), "");
  other.reset();

  client_->release(object);
  EXPECT_EQ(errorOf([&] { client_->enumMounted(object); }), "org.freedesktop.DBus.Error.UnknownObject");

  auto leaving = std::make_unique<BusClient>(bus_->address());
  const std::string left = leaving->createInstance();
  ASSERT_TRUE(objectExists(left));
  leaving.reset();
  EXPECT_TRUE(waitFor([&] { return !objectExists(left); }));
}

// One object holds at most 16 sinks; more are refused as COM refuses them.
TEST_F(MountServiceTest, AnObjectHoldsABoundedNumberOfSinks) {
  const std::string object = client_->createInstance();
  for (uint32_t cookie = 1; cookie <= 16; ++cookie) ASSERT_EQ(client_->advise(object), std::make_pair(0, cookie));
  EXPECT_EQ(client_->advise(object), std::make_pair(static_cast<int32_t>(0x80040201), 0u));  // CONNECT_E_ADVISELIMIT
  EXPECT_EQ(client_->unadvise(object, 3), 0);
  EXPECT_EQ(client_->advise(object), std::make_pair(0, 3u));
}

// A client's objects go when the bus daemon says it left, and only then: the
// same signal sent by another connection, straight to the service, is not
// believed.
TEST_F(MountServiceTest, ASignalThatOnlyClaimsAClientLeftRemovesNothing) {
  const std::string object = client_->createInstance();
  ASSERT_EQ(client_->advise(object).first, 0);
  BusClient spoofer(bus_->address());
  spoofer.sendNameLeft("com.velkara.MountService", client_->uniqueName());
  // The service takes one connection's messages in order: once this is
  // answered, it has had the signal.
  EXPECT_EQ(spoofer.enumMounted(object).first, 1) << "no driver: the query fails, but the object answers";
  const auto connections = client_->enumConnections(object);
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_EQ(connections[0].get<0>(), client_->uniqueName());
  EXPECT_TRUE(objectExists(object));
}

TEST_F(MountServiceTest, ThePolicyLetsRootCallAndRefusesOtherUsers) {
  const std::string createInstance = std::string("call com.velkara.MountService ") + kClassObject +
                                     " com.velkara.MountService.ClassFactory CreateInstance";
  const Output refused = busctl(createInstance, static_cast<int>(kNobody));
  EXPECT_FALSE(refused.succeeded) << refused.text;
  EXPECT_NE(refused.text.find("Access denied"), std::string::npos) << refused.text;
  EXPECT_TRUE(busctl(createInstance).succeeded);
}

// The service takes no signal from its clients, so the bus delivers none to
// it from anyone but root (the service's own user): a stand-in owning the
// service's name hears root's and not a member's.
TEST(MountServicePolicyTest, OnlyRootMaySendTheServiceASignal) {
  if (geteuid() != 0) GTEST_SKIP() << "only root may own the service's name";
  if (callerUid() == 0) GTEST_SKIP() << "needs the user " << kCallerName;
  if (!run("command -v dbus-daemon >/dev/null && command -v busctl >/dev/null")) {
    GTEST_SKIP() << "needs dbus-daemon and busctl";
  }
  TempDir dir;
  PrivateBus bus(dir.path(), kCallerName);
  ASSERT_FALSE(bus.address().empty()) << readText(dir.path() / "bus.log");
  BusClient standIn(bus.address());
  standIn.ownServiceName();
  const auto emit = [&](const std::string& as, int part) {
    return runCommand(as + "busctl --address=" + bus.address() +
                      " emit --destination=com.velkara.MountService /com/velkara/MountService/VirtualDisk/1"
                      " com.velkara.MountService.ConnectionPoint OnImageIndexProgress iddv " +
                      std::to_string(part) + " 1 1 s ''");
  };
  const std::string member = std::to_string(callerUid());
  EXPECT_TRUE(emit("setpriv --reuid=" + member + " --regid=" + member + " --clear-groups ", 666).succeeded);
  EXPECT_TRUE(emit("", 1).succeeded);
  ASSERT_TRUE(waitFor([&] { return !standIn.progressEvents().empty(); })) << "root's signal never came";
  std::this_thread::sleep_for(200ms);  // time for a member's signal that the bus would let through
  const auto events = standIn.progressEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].imagePartNumber, 1);
}

TEST_F(MountServiceTest, WithoutTheDriverAMountIsRefusedAndNothingIsEnumerated) {
  const fs::path image = dir_.path() / "volume.img";
  ASSERT_TRUE(run("truncate -s 1M " + image.string()));
  const std::string object = client_->createInstance();
  ASSERT_EQ(client_->advise(object).first, 0);
  EXPECT_EQ(client_->mount(object, image.string()), -9);
  const auto [result, context] = client_->enumMounted(object);
  EXPECT_EQ(result, 1);
  // callback_context is left empty: a variant holding the empty string.
  EXPECT_EQ(context.peekValueType(), "s");
  EXPECT_EQ(context.get<std::string>(), "");
  EXPECT_TRUE(client_->enumMountedEvents().empty());
  // A plain D-Bus client tells what an unmount did, and that no mount was there to cancel.
  const std::string prefix = "call com.velkara.MountService " + object + " com.velkara.MountService.VirtualDisk ";
  const Output unmounted = busctl(prefix + "UmountWithOutcome sv '' s ''");
  ASSERT_TRUE(unmounted.succeeded) << unmounted.text;
  EXPECT_EQ(unmounted.text, "is 0 \"not-unmounted\"\n") << "the driver cannot be asked";
  const Output cancelled = busctl(prefix + "CancelMount");
  ASSERT_TRUE(cancelled.succeeded) << cancelled.text;
  EXPECT_EQ(cancelled.text, "b false\n");
}

// SIGTERM is the stop control; SIGHUP is a control the service does not take.
TEST_F(MountServiceTest, SigtermStopsTheServiceInOrder) {
  ASSERT_EQ(kill(service_->pid(), SIGHUP), 0);
  EXPECT_TRUE(waitFor([&] { return readText(errorLogPath()).find("Bad service request") != std::string::npos; }));
  EXPECT_FALSE(client_->createInstance().empty());

  EXPECT_EQ(service_->stop(), 0);
  EXPECT_FALSE(client_->serviceOnBus());
  const std::string text = log();
  // The version report opens the log; another thread's line may come between its lines.
  const size_t report = text.find("[VERSION INFO]\n");
  const size_t program = text.find("\t exe_name=" + std::string(VKBVD_SERVICE_PROGRAM) + "\n");
  EXPECT_TRUE(text.starts_with("\n"));
  EXPECT_LT(report, program) << text;
  EXPECT_NE(text.find("[VERSION INFO]\n", program), std::string::npos) << text;
  const size_t started = text.find("ServiceMain: started OK\n");
  const size_t stopped = text.find("ServiceMain: OnStop OK\n");
  const size_t dropped = text.find("VolumeDeviceNotificator::drop\n", stopped);
  const size_t probesEnded = text.find("VolumeDeviceNotificatorThread::shutdown OK\n", stopped);
  ASSERT_NE(started, std::string::npos) << text;
  ASSERT_NE(stopped, std::string::npos) << text;
  EXPECT_LT(started, stopped);
  EXPECT_LT(stopped, dropped) << text;
  EXPECT_LT(dropped, probesEnded) << text;
  EXPECT_TRUE(text.ends_with("\nApp::shutdown OK\n")) << text;
  const std::string errors = readText(errorLogPath());
  EXPECT_NE(errors.find("Velkara Mount Service: Service started/resumed\n"), std::string::npos) << errors;
  EXPECT_TRUE(errors.ends_with("Velkara Mount Service: Service stopped\n")) << errors;
}

TEST_F(MountServiceDiskTest, AMountGivesTheVolumeItsRecordAndItsEventsAndUnmountLeavesNothing) {
  const std::string object = client_->createInstance();
  ASSERT_EQ(client_->advise(object), std::make_pair(0, 1u));
  BusClient other(bus_->address());
  const std::string otherObject = other.createInstance();
  ASSERT_EQ(other.advise(otherObject).first, 0);

  ASSERT_EQ(client_->mount(object, image_.string()), 0) << log();
  // The index progress reached the mounting object's sink during the mount.
  const std::vector<BusClient::ProgressEvent> progress = client_->progressEvents();
  ASSERT_FALSE(progress.empty()) << log();
  for (const BusClient::ProgressEvent& event : progress) {
    EXPECT_EQ(event.object, object);
    EXPECT_EQ(event.imagePartNumber, 1);
    EXPECT_EQ(event.totalSectors, 32.0 * 1024 * 1024 / 512);
    EXPECT_EQ(event.userDataType, "s");
    EXPECT_EQ(event.userData, "");
  }
  EXPECT_EQ(progress.back().sectorsProcessed, progress.back().totalSectors);

  // vkvd mounted the volume, and the service recorded where it is.
  const fs::path mountPoint = volumes_ / "0" / "BACKUP";  // in the directory of root, who mounted
  // The record's values are written one by one, its mount points last.
  ASSERT_TRUE(waitFor([&] { return !readMountedRecord().drives.empty(); })) << log();
  const MountedRecord record = readMountedRecord();
  EXPECT_TRUE(record.volumeId.starts_with(u"\\\\?\\Volume{") && record.volumeId.ends_with(u"}\\"))
      << wide::toUtf8(record.volumeId);
  const std::string device = wide::toUtf8(record.deviceName);
  EXPECT_TRUE(std::regex_match(device, std::regex(R"(/dev/loop\d+p1)"))) << device;
  EXPECT_EQ(record.drives, std::vector<std::u16string>{mountPoint.u16string() + u"/"}) << log();
  EXPECT_EQ(readText(mountPoint / "hello.txt"), "hello from the backup\n");

  // Writes land in the service's overlay: the volume has them, the image file never.
  const std::string imageBefore = readText(image_);
  const std::string written = randomBytes(3 << 20);
  std::ofstream(mountPoint / "docs" / "written.bin", std::ios::binary) << written;
  ASSERT_TRUE(run("sync -f " + mountPoint.string() + " && echo 3 > /proc/sys/vm/drop_caches"));
  EXPECT_TRUE(readText(mountPoint / "docs" / "written.bin") == written);

  // One disk at a time: another object's mount is refused at once.
  EXPECT_EQ(other.mount(otherObject, image_.string()), -9);

  const auto [result, context] = client_->enumMounted(object);
  EXPECT_EQ(result, 0);
  ASSERT_TRUE(context.containsValueOfType<uint32_t>()) << context.peekValueType();
  EXPECT_EQ(context.get<uint32_t>(), 1u);
  const std::vector<BusClient::EnumMountedEvent> events = client_->enumMountedEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].object, object);
  EXPECT_EQ(events[0].mountTag, "first_tag");
  EXPECT_EQ(events[0].imagePath, image_.string());
  // A round trip of the other client: a signal sent to it would have come first.
  other.enumConnections(otherObject);
  EXPECT_TRUE(other.enumMountedEvents().empty());
  EXPECT_TRUE(other.progressEvents().empty());

  EXPECT_EQ(client_->umount(object), 0);
  EXPECT_TRUE(waitFor([&] { return nothingLeft(); })) << readText(dir_.path() / "vkvd.log");
  EXPECT_FALSE(fs::exists(device));
  const MountedRecord emptied = readMountedRecord();
  EXPECT_TRUE(emptied.present);
  EXPECT_EQ(emptied.volumeId, u"");
  EXPECT_EQ(emptied.deviceName, u"");
  EXPECT_TRUE(emptied.drives.empty());
  const auto [afterResult, afterContext] = client_->enumMounted(object);
  EXPECT_EQ(afterResult, 0);
  EXPECT_EQ(afterContext.get<uint32_t>(), 0u);
  EXPECT_TRUE(readText(image_) == imageBefore) << "the image file changed";
}

// A caller acts as itself, whatever it asks: an image it may not read is
// refused, and naming a process of root's, or one that has ended, lends it
// no other identity. Nothing is opened or made for it.
TEST_F(MountServiceDiskTest, ACallerThatMayNotReadTheImageIsRefusedWhateverProcessItNames) {
  fs::permissions(image_, fs::perms::owner_read | fs::perms::owner_write);  // root's alone
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
  struct Case {
    const char* name;
    std::string options;
    int32_t result;
    std::string line;  // the refusal the log gives, if any beyond the access check
  };
  const Case cases[] = {
      {"as itself", "", -15, ""},
      {"a network image", "/network", -18, ""},
      {"naming a process of root's", "/pid 1", -15, "CVirtualDisk::mount refused: process 1 is not the client's\n"},
      {"naming it for a network image", "/network /pid 1", -18,
       "CVirtualDisk::mount refused: process 1 is not the client's\n"},
      {"naming an ended process", "/pid " + std::to_string(ended), -15,
       "CVirtualDisk::mount refused: no identity of process " + std::to_string(ended) + "\n"},
  };
  const std::string object = client_->createInstance();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Output answer = busctl("call com.velkara.MountService " + object +
                                     " com.velkara.MountService.VirtualDisk Mount sssbssssv '" + image_.string() +
                                     "' '' '' false '' '' '' '" + c.options + "' s ''",
                                 static_cast<int>(callerUid()));
    ASSERT_TRUE(answer.succeeded) << answer.text;
    EXPECT_EQ(answer.text, "i " + std::to_string(c.result) + "\n");
    if (!c.line.empty()) {
      EXPECT_NE(log().find(c.line), std::string::npos) << log();
    }
    EXPECT_EQ(client_->enumMounted(object).second.get<uint32_t>(), 0u);
    EXPECT_TRUE(disk_checks::loopDevicesBackedFrom(runtimeDir()).empty());
  }
  // The same image is root's to mount.
  EXPECT_EQ(client_->mount(object, image_.string()), 0) << log();
  EXPECT_EQ(client_->umount(object), 0);
}

TEST_F(MountServiceDiskTest, AnImageThatCannotBeOpenedGivesItsCodeAndNoDisk) {
  const fs::path empty = dir_.path() / "empty.img";
  std::ofstream{empty};
  struct Case {
    const char* name;
    fs::path image;
    int32_t result;
  };
  const Case cases[] = {
      {"missing: the access check refuses it before it is opened", dir_.path() / "missing.img", -15},
      {"empty: not an image of a known format", empty, -4},
  };
  const std::string object = client_->createInstance();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(client_->mount(object, c.image.string()), c.result) << log();
    EXPECT_EQ(client_->enumMounted(object).second.get<uint32_t>(), 0u);
    EXPECT_TRUE(disk_checks::loopDevicesBackedFrom(runtimeDir()).empty());
  }
}
