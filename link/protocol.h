// Constants of the wire protocol between kestcrm and kestd: request codes, status values,
// topics, permission bits and the transfer limits. Reader and writer of both ends share them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wire {

using Oid = int32_t;    // server object id; 0 = none
using Stamp = int32_t;  // dbDateTime stamp: seconds since 1970-01-01 00:00:00 UTC

// Request codes (4-byte signed little-endian on the wire).
enum RequestCode : int32_t {
    kLogin = 1,
    kGet = 5,
    kInsert = 6,
    kUpdate = 7,
    kDelete = 8,
    kQuery = 9,
    kReport = 10,
    kLogout = 11,
};

// Every request but Logout carries a length word and a body after its code.
constexpr bool requestHasBody(int32_t code) { return code != kLogout; }

// Status values at the start of most replies.
constexpr int32_t kStatusOk = -1;        // success (Get, Update, Delete)
constexpr int32_t kStatusFailed = -2;    // failure, wrong password, or the link was lost
constexpr int32_t kStatusRefused = -3;   // client version refused; customer changed by another user
// An Insert succeeded when its status is kStatusOk or more (0 and up is the new oid).
constexpr bool insertSucceeded(int32_t status) { return status >= kStatusOk; }

// The client version the client sends with Login.
constexpr int32_t kClientVersion = 10;

// Topics: the first text of every body but Login's and Logout's.
inline constexpr const char* kTopicCustomer = "Customer";
inline constexpr const char* kTopicCustomerCategory = "CustomerCategory";
inline constexpr const char* kTopicCustomerImage = "CustomerImage";
inline constexpr const char* kTopicEmployee = "Employee";
inline constexpr const char* kTopicEventCategory = "EventCategory";
inline constexpr const char* kTopicEvent = "Event";
inline constexpr const char* kTopicEmpMsgCheck = "EmpMsgCheck";
inline constexpr const char* kTopicServerTime = "ServerTime";

// Permission bits of Employee.permission.
enum Permission : int32_t {
    kPermLogin = 1 << 0,           // "登入"
    kPermInsertCustomer = 1 << 1,  // "加入客戶"
    kPermChangeCustomer = 1 << 2,  // "更改客戶"
    kPermDeleteCustomer = 1 << 3,  // "刪除客戶"
    kPermEvents = 1 << 4,          // "事項"
    kPermEmployees = 1 << 5,       // "員工"
    kPermSettings = 1 << 6,        // "設定"
    kPermReports = 1 << 7,         // "報表"
    kPermChangeEvents = 1 << 8,    // "更改事項"
    kPermAllCustomers = 1 << 9,    // "查看所有客戶"
};
constexpr int32_t kPermAll = (1 << 10) - 1;
constexpr bool hasPermission(int32_t bits, Permission p) { return (bits & p) != 0; }

// Transfers longer than one chunk travel in chunks of this size, each acknowledged by one byte.
constexpr size_t kChunkSize = 65536;
// Every read of the channel waits at most this long for its bytes.
constexpr int kReadTimeoutSeconds = 180;
// The largest reply body the client accepts: room for the largest picture a user stores
// (a full-page colour scan at 600 dpi is well under this as JPEG) with its record around it.
constexpr int32_t kMaxReplyLength = 64 * 1024 * 1024;
// Rows of a customer page.
constexpr int kCustomerPageSize = 25;

// The disconnect reply the channel leaves after a failed receive.
inline constexpr const char* kDisconnectText = "Server disconnected.";

}  // namespace wire
