#include "com/CVirtualDisk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "com/HResult.h"
#include "com/RecordingSink.h"
#include "common/Event.h"
#include "common/LittleEndian.h"
#include "common/NtStatus.h"
#include "common/Thread.h"
#include "common/WideString.h"
#include "device/DriverRecords.h"
#include "disk/VirtualImageManager.h"
#include "fakes/FakeDeviceNotifications.h"
#include "fakes/FakeDevices.h"
#include "fakes/FakeDiskImage.h"
#include "fakes/FakePorts.h"
#include "fakes/MountingFakes.h"
#include "fakes/FakeRegistry.h"
#include "fakes/FakeSecurity.h"
#include "fakes/FakeTokens.h"
#include "lpc/LpcThread.h"
#include "security/PrivilegeManager.h"
#include "support/CapturedLog.h"
#include "sys/ScopedFake.h"
#include "volume/VolumeDeviceNotificator.h"

namespace records = driver_records;

namespace {

using Lines = std::vector<std::string>;
using Strings = std::vector<std::string>;

const std::u16string kDriverPath = u"\\\\?\\root#vkvd#0000#{aaa4747f-f023-430c-80c1-6dbda4ec699d}";
const char16_t* const kImagePath = u"C:\\images\\vol.vkb";
const std::u16string kRecordKey = u"Software\\Velkara Software\\Velkara Backup";
constexpr uint32_t kClientPid = 4242;
constexpr uint32_t kOtherPid = 1234;
constexpr sys::DeviceNotifications::ServiceHandle kService = 0x5E;
constexpr std::chrono::seconds kBound{10};

// The mount service object's own lines.
const std::string kAsClient = "CVirtualDisk::mount impersonate to COM client for access to image via network";
const std::string kAsProcess = "CVirtualDisk::mount impersonate to process for access to image via network";
const std::string kRestart = "CVirtualDisk::mount restart impersonated LPC";
const std::string kOpen = "CVirtualDisk::mount start openImage ";
const std::string kRevert = "CVirtualDisk::mount drop impersonation otherwise DeviceNotificator would not work";

uint32_t subCommandOf(const std::vector<uint8_t>& record) {
  return static_cast<uint32_t>(readLittleEndian(record.data(), 4));
}

std::u16string tagOf(const std::vector<uint8_t>& record) {
  return readUtf16LittleEndian(record.data() + records::kRecordTag, records::kTagUnits);
}

// Every platform facility a mount touches, scripted by the test.
struct Fakes : MountingPlatform {
  Fakes() : MountingPlatform(kDriverPath, kClientPid) {}

  // Opens the image as an earlier mount would have.
  void openImageBefore() {
    uint64_t size = 0;
    uint32_t sectorSize = 512;
    ASSERT_EQ(VirtualImageManager::openImage(u"earlier.vkb", nullptr, size, sectorSize, nullptr), 0);
  }
  void holdADisk() { FakeDevices::activate(driver(), u"first_tag", u"earlier.vkb", 1 << 20, 512); }
};

// One driver with no disk, a client (process 4242) whose user may read the
// image, a port that can be created, and a sink on the object under test.
class CVirtualDiskTest : public ::testing::Test {
 protected:
  CVirtualDiskTest() {
    fakes_.tokens.currentThreadId();  // the test's own thread is thread 1
    VolumeDeviceNotificator::setServiceHandle(kService);
    uint32_t cookie = 0;
    disk_.events().Advise(sink_, &cookie);
  }
  ~CVirtualDiskTest() override {
    VolumeDeviceNotificator::drop();
    VolumeDeviceNotificator::setServiceHandle(0);
  }

  int32_t mount(const char16_t* path = kImagePath, const char16_t* options = nullptr) {
    return disk_.mount(path, nullptr, 0, nullptr, nullptr, nullptr, options);
  }

  // Everything logged so far; the log is closed at the first call.
  std::string logText() {
    if (!logText_) logText_ = log_.lines();
    return *logText_;
  }
  bool logged(const std::string& line) { return logText().find(line + "\n") != std::string::npos; }
  // The lines the mount service object wrote, in order.
  Lines ownLines() {
    Lines lines;
    std::istringstream in(logText());
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with("CVirtualDisk::") || line.starts_with("TEST CVirtualDisk::")) lines.push_back(line);
    }
    return lines;
  }

  std::vector<std::vector<uint8_t>> sentRecords(uint32_t subCommand) {
    std::vector<std::vector<uint8_t>> found;
    for (const auto& record : fakes_.devices.sentRecords) {
      if (subCommandOf(record) == subCommand) found.push_back(record);
    }
    return found;
  }
  bool diskHeld() { return fakes_.driver().activeCount == 1; }
  Strings impersonations() {
    Strings found;
    for (const std::string& call : fakes_.tokens.calls()) {
      if (call.starts_with("impersonate ")) found.push_back(call);
    }
    return found;
  }
  std::vector<SinkCall> events(const std::string& name) {
    std::vector<SinkCall> found;
    for (const SinkCall& call : journal_->calls()) {
      if (call.event == name) found.push_back(call);
    }
    return found;
  }

  CapturedLog log_;
  std::optional<std::string> logText_;
  Fakes fakes_;
  LpcThread port_;
  std::shared_ptr<EventJournal> journal_ = std::make_shared<EventJournal>();
  std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>("sink", journal_);
  CVirtualDisk disk_;
};

// One mount: how the platform answers, and what the mount answers and leaves.
// The defaults are those of a mount refused while it takes its identity:
// parameters logged, tokens asked, nothing else done.
struct MountCase {
  const char* name;
  std::function<void(Fakes&)> script = {};  // none: the platform as the fixture sets it
  const char16_t* path = kImagePath;
  const char16_t* options = nullptr;
  int32_t result = 0;
  Lines lines = {};  // the object's lines after "CVirtualDisk::mount =PATH"
  bool paramsLogged = true;
  bool identityTaken = true;    // the tokens were asked at all
  Strings impersonations = {};  // "impersonate TOKEN thread N"; the port thread is thread 2
  size_t portsCreated = 0;      // by restarts of the port thread
  bool imageOpenedByMount = false;
  bool imageOpenAfter = false;
  bool diskAfter = false;
  int mountFlag = -1;  // of the disk created; -1 when none was made
  int listens = 0;     // registrations for volume arrivals made
  bool registeredAfter = false;
};

// The mount thread and then the port thread act as the client's token (2) or
// as that of the process the client named (4).
const Strings kAsClientsToken{"impersonate 2 thread 1", "impersonate 2 thread 2"};
const Strings kAsProcessToken{"impersonate 4 thread 1", "impersonate 4 thread 2"};
const std::string kNotTheClients = "CVirtualDisk::mount refused: process 1234 is not the client's";

// A mount that gets its disk, acting as the user `identityLine` announces.
MountCase mounted(const char* name, std::function<void(Fakes&)> script, const char16_t* options,
                  const std::string& identityLine, Strings impersonations) {
  return {.name = name,
          .script = std::move(script),
          .options = options,
          .lines = {identityLine, kRestart, kOpen, kRevert},
          .impersonations = std::move(impersonations),
          .portsCreated = 1,
          .imageOpenedByMount = true,
          .imageOpenAfter = true,
          .diskAfter = true,
          .mountFlag = 0,
          .listens = 1,
          .registeredAfter = true};
}

const MountCase kMountCases[] = {
    mounted("MountedAsTheClient", {}, nullptr, kAsClient, kAsClientsToken),
    [] {
      MountCase c = mounted(
          "OpenedWithACondition", [](Fakes& f) { f.image.initCode = 10; }, nullptr, kAsClient, kAsClientsToken);
      c.result = -14;
      c.mountFlag = 1;
      return c;
    }(),
    {.name = "DriverQueryFails",
     .script =
         [](Fakes& f) {
           f.openImageBefore();
           f.devices.classes.clear();
         },
     .result = -9,
     .paramsLogged = false,
     .identityTaken = false},
    {.name = "ADiskExists",
     .script =
         [](Fakes& f) {
           f.openImageBefore();
           f.holdADisk();
         },
     .result = -9,
     .paramsLogged = false,
     .identityTaken = false,
     .imageOpenAfter = true,
     .diskAfter = true},
    {.name = "ImageNotReadable",
     .script = [](Fakes& f) { f.security.openError = 2; },
     .result = -15,
     .lines = {kAsClient, kRestart},
     .impersonations = kAsClientsToken,
     .portsCreated = 1},
    {.name = "NetworkImageNotReadable",
     .script = [](Fakes& f) { f.security.openError = 2; },
     .options = u"/network",
     .result = -18,
     .lines = {kAsClient, kRestart},
     .impersonations = kAsClientsToken,
     .portsCreated = 1},
    {.name = "OpenImageFails",
     .script = [](Fakes& f) { f.image.initCode = 1; },
     .result = -2,
     .lines = {kAsClient, kRestart, kOpen, "CVirtualDisk::mount openImage failed"},
     .impersonations = kAsClientsToken,
     .portsCreated = 1,
     .imageOpenedByMount = true},
    {.name = "CreateDevFails",
     .script = [](Fakes& f) { f.driver().connectError = 5; },
     .result = -9,
     .lines = {kAsClient, kRestart, kOpen, kRevert, "CVirtualDisk::mount createDev failed"},
     .impersonations = kAsClientsToken,
     .portsCreated = 1,
     .imageOpenedByMount = true,
     .listens = 1},
    {.name = "EmptyImagePath",
     .path = u"",
     .result = -15,
     .lines = {"CVirtualDisk::mount no image file"},
     .identityTaken = false},
    {.name = "EmptyNetworkImagePath",
     .path = u"",
     .options = u"/network",
     .result = -18,
     .lines = {"CVirtualDisk::mount no image file"},
     .identityTaken = false},
    {.name = "NoImagePath",
     .path = nullptr,
     .result = -15,
     .lines = {"CVirtualDisk::mount no image file"},
     .identityTaken = false},
    // A client that cannot be named gets no mount with the service's own rights.
    {.name = "ClientUnknown",
     .script = [](Fakes& f) { f.tokens.rpcStatus = 1725; },
     .result = -15,
     .lines = {kAsClient, "CVirtualDisk::mount refused: no identity of the client"}},
    {.name = "ClientUnknownNamingAProcess",
     .script =
         [](Fakes& f) {
           f.tokens.rpcStatus = 1725;
           f.tokens.processUsers.emplace(kOtherPid, FakeTokens::userOf(kClientPid));
         },
     .options = u"/pid 1234",
     .result = -15,
     .lines = {kAsProcess, "CVirtualDisk::mount refused: no identity of the client"}},
    {.name = "ClientCannotBeActedAs",
     .script = [](Fakes& f) { f.tokens.impersonateError = 5; },
     .result = -15,
     .lines = {kAsClient, "CVirtualDisk::mount refused: cannot act as the client"},
     .impersonations = {"impersonate 2 thread 1"}},
    {.name = "PortThreadDoesNotStart",
     .script = [](Fakes& f) { f.ports.createStatus = NtStatus::ObjectNameCollision; },
     .result = -15,
     .lines = {kAsClient, kRestart, "CVirtualDisk::mount refused: the port thread cannot act as the client"},
     .impersonations = kAsClientsToken,
     .portsCreated = 1},
    mounted(
        "PidOfTheClientsUser",
        [](Fakes& f) { f.tokens.processUsers.emplace(kOtherPid, FakeTokens::userOf(kClientPid)); }, u"/pid 1234",
        kAsProcess, kAsProcessToken),
    {.name = "PidOfAnotherUser", .options = u"/pid 1234", .result = -15, .lines = {kAsProcess, kNotTheClients}},
    {.name = "PidOfAnotherUserForANetworkImage",
     .options = u"/pid 1234 /network",
     .result = -18,
     .lines = {kAsProcess, kNotTheClients}},
    mounted(
        "PidOfAnotherUserNamedByAnAdministrator", [](Fakes& f) { f.tokens.administrators.insert(kClientPid); },
        u"/pid 1234", kAsProcess, kAsProcessToken),
    {.name = "PidOfAnEndedProcess",
     .script = [](Fakes& f) { f.tokens.endedProcesses.insert(kOtherPid); },
     .options = u"/pid 1234",
     .result = -15,
     .lines = {kAsProcess, "CVirtualDisk::mount refused: no identity of process 1234"}},
    mounted("PidZeroMeansTheClient", {}, u"/pid 0", kAsClient, kAsClientsToken),
    mounted("PidNotANumberMeansTheClient", {}, u"/pid abc", kAsClient, kAsClientsToken),
};

void PrintTo(const MountCase& c, std::ostream* out) { *out << c.name; }

class MountTest : public CVirtualDiskTest, public ::testing::WithParamInterface<MountCase> {};

TEST_P(MountTest, ResultAndWhatItLeaves) {
  const MountCase& c = GetParam();
  if (c.script) c.script(fakes_);
  const size_t initsBefore = fakes_.image.count("init");

  EXPECT_EQ(mount(c.path, c.options), c.result);

  Lines expectedLines{"CVirtualDisk::mount =" + wide::toUtf8(c.path ? c.path : u"(null)")};
  expectedLines.insert(expectedLines.end(), c.lines.begin(), c.lines.end());
  EXPECT_EQ(ownLines(), expectedLines);
  EXPECT_EQ(
      logged("MountParams::MountParams isNetworkImage=false") || logged("MountParams::MountParams isNetworkImage=true"),
      c.paramsLogged);
  EXPECT_EQ(!fakes_.tokens.calls().empty(), c.identityTaken);
  EXPECT_EQ(impersonations(), c.impersonations);
  EXPECT_EQ(fakes_.tokens.actingAs(1), 0u) << "the calling thread acts as itself again";
  EXPECT_EQ(fakes_.ports.createdNames.size(), c.portsCreated);
  EXPECT_EQ(fakes_.image.count("init") > initsBefore, c.imageOpenedByMount);
  EXPECT_EQ(VirtualImageManager::isImageOpen(), c.imageOpenAfter);
  EXPECT_EQ(diskHeld(), c.diskAfter);
  const auto connects = sentRecords(records::CMD_CONNECT_DEVICE);
  if (c.mountFlag < 0) {
    EXPECT_TRUE(connects.empty() || fakes_.driver().connectError != 0);
  } else {
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0][records::kRecordMountFlag], c.mountFlag);
  }
  EXPECT_EQ(fakes_.notifications.registerCalls, c.listens);
  EXPECT_EQ(fakes_.notifications.registrations.size(), c.registeredAfter ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, MountTest, ::testing::ValuesIn(kMountCases),
                         [](const ::testing::TestParamInfo<MountCase>& each) { return each.param.name; });

// The disk is made for the image as the client named it, with the fixed tag,
// and the size and sector size the image was opened with.
TEST_F(CVirtualDiskTest, TheDiskIsCreatedForTheImageWithTheFixedTag) {
  fakes_.image.reportedBlockSize = 4096;
  ASSERT_EQ(mount(), 0);
  const auto connects = sentRecords(records::CMD_CONNECT_DEVICE);
  ASSERT_EQ(connects.size(), 1u);
  const std::vector<uint8_t>& record = connects[0];
  EXPECT_EQ(tagOf(record), u"first_tag");
  EXPECT_EQ(readUtf16LittleEndian(record.data() + records::kRecordPath, records::kPathUnits), kImagePath);
  EXPECT_GT(readLittleEndian(record.data() + records::kRecordVolumeSize, 8), fakes_.image.data.size())
      << "the image and the partition-table areas around it";
  EXPECT_EQ(readLittleEndian(record.data() + records::kRecordSectorSize, 4), 4096u);
  EXPECT_EQ(fakes_.image.initImagePath, kImagePath);
  EXPECT_EQ(fakes_.notifications.registrations.begin()->second.service, kService);
}

// Progress reaches the object's sinks while the image opens; a report that
// comes after the mount returned is refused and reaches no sink.
TEST_F(CVirtualDiskTest, ProgressReachesTheSinksOnlyWhileTheMountRuns) {
  ASSERT_EQ(mount(), 0);
  EXPECT_EQ(fakes_.image.answerWhileOpening, std::optional<uint8_t>(1));
  const auto progress = events("onImageIndexProgress");
  ASSERT_EQ(progress.size(), 1u);
  EXPECT_EQ(progress[0].imagePartNumber, 2);
  EXPECT_EQ(progress[0].totalSectors, 1000.0);
  EXPECT_EQ(progress[0].sectorsProcessed, 250.0);

  const ImageProgressCallback late = ScopedFakeImageFactory::lastCallback();
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(late(2, 1000, 500, ScopedFakeImageFactory::lastUser()), 0);
  EXPECT_EQ(events("onImageIndexProgress").size(), 1u);
}

TEST_F(CVirtualDiskTest, AReleasedObjectGetsNoLateProgress) {
  auto journal = std::make_shared<EventJournal>();
  auto object = std::make_unique<CVirtualDisk>();
  uint32_t cookie = 0;
  object->events().Advise(std::make_shared<RecordingSink>("released", journal), &cookie);
  ASSERT_EQ(object->mount(kImagePath, nullptr, 0, nullptr, nullptr, nullptr, nullptr), 0);
  object.reset();
  EXPECT_EQ(ScopedFakeImageFactory::lastCallback()(3, 10, 10, ScopedFakeImageFactory::lastUser()), 0);
  EXPECT_EQ(journal->calls().size(), 1u) << "only the report during the mount";
}

// Any object sees and unmounts the disk, whatever tags the clients give.
TEST_F(CVirtualDiskTest, EnumerationAndUnmountSeeTheMountedDisk) {
  ASSERT_EQ(mount(), 0);
  CVirtualDisk other;
  uint32_t count = 99;
  EXPECT_EQ(other.enumMounted(&count), 0);
  EXPECT_EQ(count, 1u);
  EXPECT_TRUE(events("onEnumMounted").empty()) << "fired at the called object's sinks only";

  EXPECT_EQ(disk_.enumMounted(&count), 0);
  auto enumerated = events("onEnumMounted");
  ASSERT_EQ(enumerated.size(), 1u);
  EXPECT_EQ(enumerated[0].mountTag, u"first_tag");
  EXPECT_EQ(enumerated[0].imagePath, kImagePath);

  EXPECT_EQ(other.umount(u""), 0);
  const auto removals = sentRecords(records::CMD_DISCONNECT_DEVICE);
  ASSERT_EQ(removals.size(), 1u);
  EXPECT_EQ(tagOf(removals[0]), u"first_tag");
  EXPECT_FALSE(diskHeld());
  EXPECT_TRUE(fakes_.image.released);
  EXPECT_FALSE(VirtualImageManager::isImageOpen());
  EXPECT_TRUE(fakes_.notifications.registrations.empty());

  EXPECT_EQ(disk_.enumMounted(&count), 0);
  EXPECT_EQ(count, 0u);
  enumerated = events("onEnumMounted");
  ASSERT_EQ(enumerated.size(), 2u);
  EXPECT_EQ(enumerated[1].mountTag, u"");
  EXPECT_EQ(enumerated[1].imagePath, u"");
  EXPECT_EQ(ownLines(), (Lines{"CVirtualDisk::mount =C:\\images\\vol.vkb", kAsClient, kRestart, kOpen, kRevert,
                               "TEST CVirtualDisk::enumMounted", "TEST CVirtualDisk::enumMounted",
                               "TEST CVirtualDisk::umount =", "TEST CVirtualDisk::enumMounted"}));
}

// The mount is its client's user's: another user may neither unmount it nor
// learn its image, and is told so; the owner and an administrator may.
TEST_F(CVirtualDiskTest, AnotherUserMayNotUnmountOrNameTheMount) {
  const uint32_t owner = fakes_.tokens.clientPid;
  ASSERT_EQ(mount(), 0);
  CVirtualDisk other;
  uint32_t cookie = 0;
  ASSERT_EQ(other.events().Advise(sink_, &cookie), 0);
  const uint32_t stranger = owner + 1000;  // a process of another user
  fakes_.tokens.clientPid = stranger;
  CVirtualDisk::UmountOutcome outcome = CVirtualDisk::UmountOutcome::Unmounted;
  EXPECT_EQ(other.umount(u"", &outcome), CVirtualDisk::kAnotherUsersMount);
  EXPECT_EQ(outcome, CVirtualDisk::UmountOutcome::Refused);
  EXPECT_TRUE(diskHeld());
  EXPECT_TRUE(VirtualImageManager::isImageOpen());
  EXPECT_TRUE(sentRecords(records::CMD_DISCONNECT_DEVICE).empty());
  uint32_t count = 0;
  EXPECT_EQ(other.enumMounted(&count), 0);
  EXPECT_EQ(count, 1u) << "that a disk is mounted is no secret";
  fakes_.tokens.clientPid = owner;
  EXPECT_EQ(other.enumMounted(&count), 0);
  auto enumerated = events("onEnumMounted");
  ASSERT_EQ(enumerated.size(), 2u);
  EXPECT_EQ(enumerated[0].mountTag, u"first_tag");
  EXPECT_EQ(enumerated[0].imagePath, u"") << "named to another user";
  EXPECT_EQ(enumerated[1].imagePath, kImagePath);

  fakes_.tokens.clientPid = stranger;
  fakes_.tokens.administrators.insert(stranger);
  EXPECT_EQ(other.umount(u"", &outcome), 0);
  EXPECT_EQ(outcome, CVirtualDisk::UmountOutcome::Unmounted);
  EXPECT_FALSE(diskHeld());
  EXPECT_TRUE(logged("CVirtualDisk::umount refused: the mount is another user's"));
}

// Every step of an unmount runs though the driver has no disk to remove.
TEST_F(CVirtualDiskTest, UmountWithNothingMountedStillUndoesEverything) {
  fakes_.openImageBefore();
  ASSERT_TRUE(port_.start(nullptr));
  ASSERT_TRUE(PrivilegeManager::setServicePrivileges());
  ASSERT_EQ(fakes_.security.privilegeCalls, (Strings{"SeBackupPrivilege on", "SeRestorePrivilege on"}));

  EXPECT_EQ(disk_.umount(u"first_tag"), 0);

  EXPECT_EQ(ownLines(), (Lines{"TEST CVirtualDisk::umount =first_tag", "CVirtualDisk::umount removeDev failed"}));
  EXPECT_TRUE(logged("VolumeDeviceNotificator::drop"));
  EXPECT_TRUE(fakes_.image.released);
  EXPECT_FALSE(VirtualImageManager::isImageOpen());
  EXPECT_EQ(fakes_.registry.value(kRecordKey, u"MountedVolumeID"), (FakeRegistry::Value{1, {0, 0}}));
  EXPECT_EQ(fakes_.registry.value(kRecordKey, u"MountedDrives"), (FakeRegistry::Value{7, {0, 0, 0, 0}}));
  EXPECT_EQ(fakes_.security.privilegeCalls, (Strings{"SeBackupPrivilege on", "SeRestorePrivilege on",
                                                     "SeBackupPrivilege off", "SeRestorePrivilege off"}));
  ASSERT_TRUE(port_.start(nullptr));
  EXPECT_EQ(fakes_.ports.createdNames.size(), 2u) << "the port thread was stopped, so a start makes a new one";
}

struct EnumCase {
  const char* name;
  std::function<void(Fakes&, RecordingSink&)> script;
  bool nullOut;
  int32_t result;
  uint32_t count;  // 99: left untouched
  std::vector<std::pair<std::u16string, std::u16string>> fired;
};

const EnumCase kEnumCases[] = {
    {"NothingMounted", [](Fakes&, RecordingSink&) {}, false, 0, 0, {{u"", u""}}},
    {"ADiskMounted", [](Fakes& f, RecordingSink&) { f.holdADisk(); }, false, 0, 1, {{u"first_tag", u"earlier.vkb"}}},
    {"NullOutArgument", [](Fakes&, RecordingSink&) {}, true, 0, 99, {{u"", u""}}},
    {"DriverQueryFails", [](Fakes& f, RecordingSink&) { f.devices.classes.clear(); }, false, 1, 99, {}},
    {"FailingSink", [](Fakes&, RecordingSink& sink) { sink.result = HResult::Fail; }, false, 0, 0, {{u"", u""}}},
};

void PrintTo(const EnumCase& c, std::ostream* out) { *out << c.name; }

class EnumMountedTest : public CVirtualDiskTest, public ::testing::WithParamInterface<EnumCase> {};

TEST_P(EnumMountedTest, ResultCountAndEvent) {
  const EnumCase& c = GetParam();
  c.script(fakes_, *sink_);
  uint32_t count = 99;
  EXPECT_EQ(disk_.enumMounted(c.nullOut ? nullptr : &count), c.result);
  EXPECT_EQ(count, c.count);
  std::vector<std::pair<std::u16string, std::u16string>> fired;
  for (const SinkCall& call : events("onEnumMounted")) fired.emplace_back(call.mountTag, call.imagePath);
  EXPECT_EQ(fired, c.fired);
  EXPECT_EQ(ownLines(), Lines{"TEST CVirtualDisk::enumMounted"});
}

INSTANTIATE_TEST_SUITE_P(Cases, EnumMountedTest, ::testing::ValuesIn(kEnumCases),
                         [](const ::testing::TestParamInfo<EnumCase>& each) { return each.param.name; });

// Two clients mounting at the same moment: one gets the disk, the other -9,
// and no image is left open without a disk.
TEST_F(CVirtualDiskTest, TwoMountsAtTheSameMomentGetOneDisk) {
  Event go(Event::Reset::Manual);
  std::atomic<int32_t> results[2] = {99, 99};
  Thread clients[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(clients[i].start([&, i] {
      CVirtualDisk own;
      go.wait(kBound);
      results[i] = own.mount(kImagePath, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
    }));
  }
  go.set();
  for (Thread& client : clients) ASSERT_TRUE(client.waitFor(kBound * 3));
  std::vector<int32_t> sorted{results[0], results[1]};
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<int32_t>{-9, 0}));
  EXPECT_EQ(sentRecords(records::CMD_CONNECT_DEVICE).size(), 1u);
  EXPECT_TRUE(diskHeld());
  EXPECT_EQ(fakes_.image.count("init"), 1u) << "the refused mount opened nothing";
  EXPECT_TRUE(VirtualImageManager::isImageOpen());
}

// While a mount runs, another mount is turned away at once; enumeration goes on.
TEST_F(CVirtualDiskTest, AMountInProgressTurnsAwayOverlappingMounts) {
  fakes_.image.proceed = std::make_shared<Event>(Event::Reset::Manual);
  std::atomic<int32_t> first{99};
  Thread mounting;
  ASSERT_TRUE(mounting.start([&] {
    CVirtualDisk own;
    first = own.mount(kImagePath, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
  }));
  ASSERT_TRUE(fakes_.image.entered.wait(kBound));

  EXPECT_EQ(mount(), -9);
  uint32_t count = 99;
  EXPECT_EQ(disk_.enumMounted(&count), 0);
  EXPECT_EQ(count, 0u);

  fakes_.image.proceed->set();
  ASSERT_TRUE(mounting.waitFor(kBound * 3));
  EXPECT_EQ(first, 0);
  EXPECT_TRUE(diskHeld());
  EXPECT_TRUE(VirtualImageManager::isImageOpen());
  EXPECT_TRUE(sentRecords(records::CMD_DISCONNECT_DEVICE).empty());
  EXPECT_TRUE(logged("CVirtualDisk::mount another mount or unmount is in progress"));
}

// An image whose provider does not let go (a read that does not return)
// cannot be closed: a mount does not go on beside it, and an unmount says so
// and still does the rest.
TEST_F(CVirtualDiskTest, AnImageThatCannotBeClosedIsReportedNotIgnored) {
  fakes_.openImageBefore();
  auto inRead = std::make_shared<Event>(Event::Reset::Manual);
  auto release = std::make_shared<Event>(Event::Reset::Manual);
  fakes_.image.duringRead = [inRead, release] {
    inRead->set();
    release->wait(kBound);
  };
  Thread reader;
  ASSERT_TRUE(reader.start([] {
    std::vector<uint8_t> buffer(1 << 20);
    VirtualImageManager::read(buffer.data(), 0, static_cast<uint32_t>(buffer.size()));
  }));
  ASSERT_TRUE(inRead->wait(kBound));
  const auto previousWait = VirtualImageManager::swapImageLockWait(std::chrono::milliseconds(10));

  EXPECT_EQ(mount(), -9);
  EXPECT_EQ(disk_.umount(u"first_tag"), 0);

  VirtualImageManager::swapImageLockWait(previousWait);
  release->set();
  ASSERT_TRUE(reader.waitFor(kBound));
  EXPECT_TRUE(VirtualImageManager::isImageOpen());
  EXPECT_FALSE(logged("MountParams::MountParams getFileName=C:\\images\\vol.vkb"));
  EXPECT_EQ(ownLines(), (Lines{"CVirtualDisk::mount =C:\\images\\vol.vkb",
                               "CVirtualDisk::mount closeImage failed, the image stays open",
                               "TEST CVirtualDisk::umount =first_tag", "CVirtualDisk::umount removeDev failed",
                               "CVirtualDisk::umount closeImage failed, the image stays open"}));
  EXPECT_EQ(fakes_.registry.value(kRecordKey, u"MountedVolumeID"), (FakeRegistry::Value{1, {0, 0}}))
      << "the steps after the close still ran";
}

// A mount refused at the access check leaves nothing that stops the next one.
TEST_F(CVirtualDiskTest, AMountAfterARefusedOneProceeds) {
  fakes_.security.openError = 2;
  ASSERT_EQ(mount(), -15);
  fakes_.security.openError = 0;
  EXPECT_EQ(mount(), 0);
  EXPECT_EQ(fakes_.ports.createdNames.size(), 2u) << "the port thread restarted by each";
  EXPECT_TRUE(diskHeld());
}

}  // namespace
