// The device interface list through the system's own setup API, on an
// interface that the test registers for a device of its own and removes.
// The seam comes before the system's headers, whose macros would rename its
// members.
#include "common/LittleEndian.h"
#include "common/WideString.h"
#include "sys/win32/Win32DeviceInterfaces.h"

#include <windows.h>
// windows.h first
#include <setupapi.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using sys::DeviceInterfaces;

constexpr GUID kTestClass = {0x7C1D3B52, 0x58E4, 0x4B8A, {0x9E, 0x21, 0x3A, 0x6F, 0x0D, 0x44, 0xB1, 0x90}};
const Guid kTestClassGuid{0x7C1D3B52, 0x58E4, 0x4B8A, {0x9E, 0x21, 0x3A, 0x6F, 0x0D, 0x44, 0xB1, 0x90}};

// A device with one interface of the test's class, registered while it lives.
class RegisteredInterface {
 public:
  RegisteredInterface() : set_(SetupDiCreateDeviceInfoList(&kTestClass, nullptr)) {
    device_.cbSize = sizeof(device_);
    SP_DEVICE_INTERFACE_DATA created{};
    created.cbSize = sizeof(created);
    registered_ =
        set_ != INVALID_HANDLE_VALUE &&
        SetupDiCreateDeviceInfoW(set_, L"ROOT\\VKBVD_TEST\\0000", &kTestClass, nullptr, nullptr, 0, &device_) &&
        SetupDiRegisterDeviceInfo(set_, &device_, 0, nullptr, nullptr, nullptr) &&
        SetupDiCreateDeviceInterfaceW(set_, &device_, &kTestClass, nullptr, 0, &created);
  }
  ~RegisteredInterface() {
    if (set_ == INVALID_HANDLE_VALUE) return;
    SetupDiRemoveDevice(set_, &device_);
    SetupDiDestroyDeviceInfoList(set_);
  }
  bool registered() const { return registered_; }

 private:
  HDEVINFO set_;
  SP_DEVINFO_DATA device_{};
  bool registered_ = false;
};

// The detail structure's size is the one of this build's system, whatever
// the caller wrote (the 32-bit program's 6), and the path follows it.
TEST(Win32DeviceInterfacesTest, TheDetailTakesThisBuildsStructureSize) {
  const RegisteredInterface registered;
  ASSERT_TRUE(registered.registered()) << GetLastError();
  // Not yet started, the device is not present: its set is listed in full.
  const HDEVINFO set = SetupDiGetClassDevsW(&kTestClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  const auto setHandle = static_cast<DeviceInterfaces::InfoSet>(reinterpret_cast<uintptr_t>(set));

  sys::win32::Win32DeviceInterfaces interfaces;
  DeviceInterfaces::InterfaceData data;
  uint32_t error = 0;
  ASSERT_TRUE(interfaces.enumDeviceInterfaces(setHandle, kTestClassGuid, 0, data, error)) << error;
  uint8_t detail[1024] = {};
  writeLittleEndian(detail, 4, 6);
  DeviceInterfaces::DeviceRecord device;
  ASSERT_TRUE(interfaces.getDeviceInterfaceDetail(setHandle, data, detail, sizeof(detail) - 6, device, error)) << error;
  EXPECT_EQ(readLittleEndian(detail, 4), sizeof(void*) == 8 ? 8u : 6u);
  const std::u16string path = readUtf16LittleEndian(detail + 4, (sizeof(detail) - 4) / 2);
  EXPECT_NE(wide::toUtf8(path).find("vkbvd_test#0000"), std::string::npos) << wide::toUtf8(path);
  EXPECT_EQ(device.deviceClass, kTestClassGuid);
  interfaces.destroyDeviceInfoList(setHandle);
}

}  // namespace
