// Control requests of the Windows device I/O against a stand-in driver: the
// server end of a message-mode named pipe. A transceive request on the client
// end is a control request whose input the "driver" receives and whose output
// it answers when it chooses, or never.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/WideString.h"
#include "sys/win32/Win32DeviceIo.h"

namespace {

using namespace std::chrono_literals;

// Writes the input as one message and pends until a message comes back.
constexpr DWORD kTransceive = CTL_CODE(FILE_DEVICE_NAMED_PIPE, 5, METHOD_NEITHER, FILE_READ_DATA | FILE_WRITE_DATA);
// Generous for a loaded machine; only a broken test ever waits this long.
constexpr DWORD kStepWaitMs = 20000;
constexpr uint8_t kUntouched = 0xAA;

using OwnedHandle = std::unique_ptr<void, decltype(&CloseHandle)>;

OwnedHandle newEvent() { return OwnedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr), CloseHandle); }

HANDLE toHandle(sys::DeviceIo::Handle device) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(device)); }

// Ends an overlapped read or write within the step bound; false if it failed or overran.
bool finish(HANDLE file, OVERLAPPED& operation, BOOL started, DWORD& transferred) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  if (WaitForSingleObject(operation.hEvent, kStepWaitMs) != WAIT_OBJECT_0) CancelIoEx(file, &operation);
  return GetOverlappedResult(file, &operation, &transferred, TRUE) != FALSE;
}

std::vector<uint8_t> readMessage(HANDLE file) {
  std::vector<uint8_t> message(256);
  const OwnedHandle event = newEvent();
  OVERLAPPED operation{};
  operation.hEvent = event.get();
  DWORD size = 0;
  const BOOL started = ReadFile(file, message.data(), static_cast<DWORD>(message.size()), &size, &operation);
  message.resize(finish(file, operation, started, size) ? size : 0);
  return message;
}

bool writeMessage(HANDLE file, const std::vector<uint8_t>& message) {
  const OwnedHandle event = newEvent();
  OVERLAPPED operation{};
  operation.hEvent = event.get();
  DWORD size = 0;
  const BOOL started = WriteFile(file, message.data(), static_cast<DWORD>(message.size()), &size, &operation);
  return finish(file, operation, started, size) && size == message.size();
}

// The driver's side: the server end of a pipe of its own name.
class PipeDriver {
 public:
  PipeDriver()
      : path_(u"\\\\.\\pipe\\vkbvd-device-io-test-" + wide::fromUtf8(std::to_string(GetCurrentProcessId())) + u"-" +
              wide::fromUtf8(std::to_string(++count_))),
        server_(CreateNamedPipeW(wide::toWchar(path_).c_str(),
                                 PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 4096, 4096, 0, nullptr),
                CloseHandle) {}

  bool listening() const { return server_.get() != INVALID_HANDLE_VALUE; }
  const std::u16string& path() const { return path_; }
  std::vector<uint8_t> receive() { return readMessage(server_.get()); }
  bool answer(const std::vector<uint8_t>& reply) { return writeMessage(server_.get(), reply); }

 private:
  static inline std::atomic<int> count_{0};
  std::u16string path_;
  OwnedHandle server_;
};

class Win32DeviceIoTest : public ::testing::Test {
 protected:
  // Opens the driver's device as the service does, reading whole messages.
  sys::DeviceIo::Handle openDevice(sys::win32::Win32DeviceIo& io) {
    uint32_t error = 0;
    const sys::DeviceIo::Handle device = io.open(driver.path(), error);
    EXPECT_NE(device, sys::DeviceIo::kInvalidHandle) << "error " << error;
    DWORD mode = PIPE_READMODE_MESSAGE;
    EXPECT_TRUE(SetNamedPipeHandleState(toHandle(device), &mode, nullptr, nullptr));
    return device;
  }

  PipeDriver driver;
  const std::vector<uint8_t> request{1, 2, 3, 4};
  const std::vector<uint8_t> reply{9, 8, 7};
};

TEST_F(Win32DeviceIoTest, AnsweredRequestReturnsTheDriversOutput) {
  ASSERT_TRUE(driver.listening());
  sys::win32::Win32DeviceIo io;
  const sys::DeviceIo::Handle device = openDevice(io);
  std::thread driverThread([&] {
    EXPECT_EQ(driver.receive(), request);
    EXPECT_TRUE(driver.answer(reply));
  });
  std::vector<uint8_t> output(16, kUntouched);
  uint32_t returned = 0, error = 77;
  const bool done = io.control(device, kTransceive, request.data(), static_cast<uint32_t>(request.size()),
                               output.data(), static_cast<uint32_t>(output.size()), returned, error);
  driverThread.join();
  io.close(device);

  EXPECT_TRUE(done);
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_SUCCESS));
  ASSERT_EQ(returned, reply.size());
  EXPECT_EQ(std::vector<uint8_t>(output.begin(), output.begin() + returned), reply);
}

// How a request that the driver leaves pending is ended.
struct UnansweredCase {
  const char* name;
  std::chrono::milliseconds replyWait;
  bool cancelledByAnotherThread;
  uint32_t expectedError;
};

class UnansweredRequestTest : public Win32DeviceIoTest, public ::testing::WithParamInterface<UnansweredCase> {};

TEST_P(UnansweredRequestTest, EndsWithItsErrorAndALateAnswerNeverReachesTheOutput) {
  ASSERT_TRUE(driver.listening());
  sys::win32::Win32DeviceIo io(GetParam().replyWait);
  const sys::DeviceIo::Handle device = openDevice(io);
  std::thread driverThread([&] {
    EXPECT_EQ(driver.receive(), request);
    // The request is in flight once the driver holds it.
    if (GetParam().cancelledByAnotherThread) io.cancel(device);
  });
  std::vector<uint8_t> output(16, kUntouched);
  uint32_t returned = 77, error = 77;
  const bool done = io.control(device, kTransceive, request.data(), static_cast<uint32_t>(request.size()),
                               output.data(), static_cast<uint32_t>(output.size()), returned, error);
  driverThread.join();

  EXPECT_FALSE(done);
  EXPECT_EQ(error, GetParam().expectedError);
  EXPECT_EQ(returned, 0u);
  // The late answer is left for the next reader: no request is still waiting for it.
  EXPECT_TRUE(driver.answer(reply));
  EXPECT_EQ(readMessage(toHandle(device)), reply);
  EXPECT_EQ(output, std::vector<uint8_t>(16, kUntouched));
  io.close(device);
}

INSTANTIATE_TEST_SUITE_P(Win32DeviceIo, UnansweredRequestTest,
                         ::testing::Values(UnansweredCase{"TimedOut", 100ms, false, ERROR_TIMEOUT},
                                           // A cancel that fails to end the request would show as the time-out.
                                           UnansweredCase{"Cancelled", sys::win32::Win32DeviceIo::kReplyWait, true,
                                                          ERROR_OPERATION_ABORTED}),
                         [](const auto& instance) { return std::string(instance.param.name); });

}  // namespace
