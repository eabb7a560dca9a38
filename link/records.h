// The records that cross the wire, with one writer and one reader each in wire order.
// Texts are UTF-8 here and CP950 on the wire (converted by WireWriter/WireReader). A record's
// oid is never part of its encoding. Category references hold list positions, employee and
// customer references hold oids.
#pragma once

#include <cstdint>
#include <string>

#include "protocol.h"
#include "wire_io.h"

namespace wire {

struct CustomerCategory {
    std::string name;
};

struct EventCategory {
    std::string name;
};

// Fields in declared order.
struct Customer {
    std::string id;             // customer number
    int32_t category = 0;       // position in the CustomerCategory list
    std::string name;
    Stamp updateDate = 0;
    Oid employee = 0;           // responsible employee
    std::string email;          // shown as the address
    std::string info;           // notes
    uint8_t version = 0;        // change counter
    Oid oid = 0;
    std::string tel;
    std::string fax;
    Stamp expireDate = 0;       // 0 = none
    Oid updateEmployee = 0;
    Stamp createDate = 0;
    Oid followEmployee = 0;     // 0 = not set
    bool operator==(const Customer&) const = default;
};

struct CustomerImage {
    std::string name;
    Oid customer = 0;
    Stamp transDate = 0;
    Oid oid = 0;
    uint8_t version = 0;
    bool operator==(const CustomerImage&) const = default;
};

struct Employee {
    std::string id;        // employee number, the login name
    std::string name;
    std::string password;
    int32_t permission = 0;
    bool waitingChange = false;  // declared only, never on the wire
    bool messageChange = false;  // declared only, never on the wire
    Oid oid = 0;
    bool operator==(const Employee&) const = default;
};

struct Event {
    Oid customer = 0;
    int32_t category = 0;  // position in the EventCategory list
    Oid employee = 0;      // employee of the last change
    Stamp transDate = 0;
    std::string title;
    std::string description;
    uint8_t version = 0;
    Oid oid = 0;
    bool operator==(const Event&) const = default;
};

// Writers return false (and mark the writer failed) when a text is not representable in CP950.
// Readers return false (the reader is broken) when the data ends early or a text is not CP950.

// id, category, name, updateDate, expireDate, createDate, employee, updateEmployee,
// followEmployee, email, info, tel, fax, version.
bool writeCustomer(WireWriter& w, const Customer& c);
bool readCustomer(WireReader& r, Customer& c);

// name, customer, transDate (client to server only; the picture bytes follow outside it).
bool writeCustomerImage(WireWriter& w, const CustomerImage& image);
bool readCustomerImage(WireReader& r, CustomerImage& image);

// id, name, password, permission.
bool writeEmployee(WireWriter& w, const Employee& e);
bool readEmployee(WireReader& r, Employee& e);

// customer, category, employee, transDate, title, description, version.
bool writeEvent(WireWriter& w, const Event& e);
bool readEvent(WireReader& r, Event& e);

}  // namespace wire
