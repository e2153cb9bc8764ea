#pragma once

#include <cstdint>

#include "common/Guid.h"

// The values of the driver's control requests: the one control code, the
// sub-commands in the first four input bytes, the two GUIDs and the sizes of
// the records. Win32 errors that the seam's list lacks are named here.
namespace driver_control {

constexpr uint32_t kControlCode = 0x0004D038;  // IOCTL_MINIPORT_PROCESS_SERVICE_IRP

constexpr uint32_t CMD_GET_DRIVER_GUID = 0xF77FF038;
constexpr uint32_t CMD_CONNECT_DEVICE = 0xF72AB040;
constexpr uint32_t CMD_DISCONNECT_DEVICE = 0xF72AB044;
constexpr uint32_t CMD_GET_ACTIVE_DEVICE = 0xF72AB048;

constexpr uint32_t kSubCommandSize = 4;
constexpr uint32_t kGuidSize = 16;
constexpr uint32_t kDbgStatusSize = 4;
constexpr uint32_t kActiveDeviceReplySize = 5759;

// The class of the interface the driver publishes.
constexpr Guid VIRTUAL_DISK_INTERFACE_GUID{
    0xAAA4747F, 0xF023, 0x430C, {0x80, 0xC1, 0x6D, 0xBD, 0xA4, 0xEC, 0x69, 0x9D}};
// What CMD_GET_DRIVER_GUID answers.
constexpr Guid DRIVER_CONTROL_GUID{0x543BC692, 0x941C, 0x46FA, {0x89, 0x88, 0xFB, 0x3B, 0xAE, 0x5D, 0x76, 0x37}};

}  // namespace driver_control
