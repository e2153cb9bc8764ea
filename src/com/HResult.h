#pragma once

#include <cstdint>

// The COM result codes that the mount service object and its event delivery
// return on every platform (named apart from the system's macros, which the
// Windows binding also sees). Negative values are failures.
namespace HResult {

constexpr int32_t Ok = 0;                                                   // S_OK
constexpr int32_t False = 1;                                                // S_FALSE
constexpr int32_t NoInterface = static_cast<int32_t>(0x80004002);           // E_NOINTERFACE
constexpr int32_t Pointer = static_cast<int32_t>(0x80004003);               // E_POINTER
constexpr int32_t Fail = static_cast<int32_t>(0x80004005);                  // E_FAIL
constexpr int32_t OutOfMemory = static_cast<int32_t>(0x8007000E);           // E_OUTOFMEMORY
constexpr int32_t ConnectNoConnection = static_cast<int32_t>(0x80040200);   // CONNECT_E_NOCONNECTION
constexpr int32_t ConnectAdviseLimit = static_cast<int32_t>(0x80040201);    // CONNECT_E_ADVISELIMIT
constexpr int32_t ConnectCannotConnect = static_cast<int32_t>(0x80040202);  // CONNECT_E_CANNOTCONNECT

}  // namespace HResult
