#pragma once
// Every fault the API handlers answer with: codes and fixed texts, in one
// place. The texts are what clients match on, typos included; never reword
// them. Texts that go on with a detail are the beginnings.
#include <cstdint>
#include <string_view>

namespace kavor2::service {

struct TApiFault {
  std::int32_t Code;
  std::string_view Text;
};

inline constexpr std::int32_t kFaultNotFound = 1;        // object missing, wrong state, failed below
inline constexpr std::int32_t kFaultCount = 2;           // a parameter count the method does not take
inline constexpr std::int32_t kFaultType = 3;            // wrong kind, unreadable certificate, refused argument
inline constexpr std::int32_t kFaultConvert = 4;         // a text that does not convert
inline constexpr std::int32_t kFaultLockedByOther = 7;   // another subscriber owns the object
inline constexpr std::int32_t kFaultUnlocked = 8;        // the caller must own the object first
inline constexpr std::int32_t kFaultLockedByMe = 9;      // the caller owns it already
inline constexpr std::int32_t kFaultNoSubscriber = 10;   // unknown certificate; device without ID
inline constexpr std::int32_t kFaultHandler = 1001;      // what an escaping exception would give

inline constexpr TApiFault kDeviceNotFound{kFaultNotFound, "Device not found"};
inline constexpr TApiFault kDeviceNotConnected{kFaultNotFound, "Device not coonected"};
inline constexpr TApiFault kLineNotFound{kFaultNotFound, "Line not found"};
inline constexpr TApiFault kLineNotFoundId{kFaultNotFound, "Line not found ID : "};  // + line ID
inline constexpr TApiFault kInvalidLineType{kFaultNotFound, "Invalid line type"};
inline constexpr TApiFault kUnknownType{kFaultNotFound, "Unknoun type"};
inline constexpr TApiFault kLineLocked{kFaultNotFound, "Line locked "};      // + owner
inline constexpr TApiFault kDeviceLocked{kFaultNotFound, "Device locked "};  // + owner
inline constexpr TApiFault kParametersCount{kFaultCount, "Parameters count error"};
inline constexpr TApiFault kInvalidType{kFaultType, "Inavlid parameter type"};
inline constexpr TApiFault kInvalidTypeGuid{kFaultType, "Inavlid parameter type Guid"};
inline constexpr TApiFault kBroadcastPortExists{kFaultType, "Broadcast port alredy exists"};
inline constexpr TApiFault kNotLineId{kFaultType, "Not Line ID : "};  // + line ID
inline constexpr TApiFault kConvertError{kFaultConvert, "Convert parameter error"};
inline constexpr TApiFault kNotValidMasterKey{kFaultConvert, "not valid MasterKey"};
inline constexpr TApiFault kNotValidId{kFaultConvert, "not valid ID"};
inline constexpr TApiFault kLockedByOther{kFaultLockedByOther, "Object is locked by other user "};  // + detail
inline constexpr TApiFault kDeviceLockedOnLine{kFaultLockedByOther,
                                               "Device is locked  on line by other user "};  // + detail
inline constexpr TApiFault kObjectUnlocked{kFaultUnlocked, "Object is unlocked "};            // + detail
inline constexpr TApiFault kLockedByMe{kFaultLockedByMe, "Object is locked by me"};
inline constexpr TApiFault kSubscriberNotFound{kFaultNoSubscriber, "Subscriber not found"};
inline constexpr TApiFault kNotDeviceId{kFaultNoSubscriber, "Not device ID"};
// The detail texts of the access faults.
inline constexpr std::string_view kLineDetail = "Line ID : ";      // + line ID + " " + owner
inline constexpr std::string_view kDeviceDetail = " Device ID : ";  // + ID text + " " + owner

// Refusals of this build's own: a callback port that no TCP port can be,
// and data that the device's bounded queue has no room for (rather than an
// empty answer for data that was dropped).
inline constexpr TApiFault kCallbackPortRange{kFaultHandler, "Callback port out of range : "};  // + port
inline constexpr TApiFault kSendQueueFull{kFaultNotFound, "Send queue is full"};

}  // namespace kavor2::service
