#pragma once

#include <sdbus-c++/Types.h>

#include <string>

// The names of the mount service's D-Bus API, on which clients and scripts
// rely, and how values without a D-Bus form travel.
namespace mount_service_bus {

inline constexpr char kServiceName[] = "com.velkara.MountService";
// The class object; each instance is a child of it, numbered from 1.
inline constexpr char kClassObjectPath[] = "/com/velkara/MountService/VirtualDisk";
inline constexpr char kClassFactoryInterface[] = "com.velkara.MountService.ClassFactory";
inline constexpr char kVirtualDiskInterface[] = "com.velkara.MountService.VirtualDisk";
inline constexpr char kConnectionPointInterface[] = "com.velkara.MountService.ConnectionPoint";

// What UmountWithOutcome did, as its `outcome` names it.
inline constexpr char kUmountUnmounted[] = "unmounted";
inline constexpr char kUmountNothingMounted[] = "nothing-mounted";
inline constexpr char kUmountCancelledMount[] = "cancelled-mount";
inline constexpr char kUmountNotUnmounted[] = "not-unmounted";
inline constexpr char kUmountRefused[] = "refused";

// The errors of the binding itself; the methods' own results are their return values.
inline constexpr char kErrorLimitsExceeded[] = "org.freedesktop.DBus.Error.LimitsExceeded";
inline constexpr char kErrorAccessDenied[] = "org.freedesktop.DBus.Error.AccessDenied";
inline constexpr char kErrorFailed[] = "org.freedesktop.DBus.Error.Failed";

// An empty VARIANT (VT_EMPTY): a D-Bus variant always holds a value, so it
// travels as a variant holding the empty string.
inline sdbus::Variant emptyVariant() { return sdbus::Variant(std::string()); }

}  // namespace mount_service_bus
