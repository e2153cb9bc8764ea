#pragma once

#include <cstdint>

#include "device/DriverRecords.h"

// The values of the driver's control requests as vkvd uses them; the values
// themselves are the records' own (device/DriverRecords.h).
namespace driver_control {

constexpr uint32_t kControlCode = driver_records::IOCTL_MINIPORT_PROCESS_SERVICE_IRP;

using driver_records::CMD_CONNECT_DEVICE;
using driver_records::CMD_DISCONNECT_DEVICE;
using driver_records::CMD_GET_ACTIVE_DEVICE;
using driver_records::CMD_GET_DRIVER_GUID;
using driver_records::DRIVER_CONTROL_GUID;
using driver_records::kActiveDeviceReplySize;
using driver_records::VIRTUAL_DISK_INTERFACE_GUID;

constexpr uint32_t kSubCommandSize = 4;
constexpr uint32_t kGuidSize = 16;
constexpr uint32_t kDbgStatusSize = 4;

}  // namespace driver_control
