// Writers and readers of the records that cross the wire, each in wire order. A writer stops
// at the first text CP950 cannot hold (the writer is then marked failed); a reader reports
// false once its reader is broken, and the record then holds what was read before the break.
#include "records.h"

namespace wire {

bool writeCustomer(WireWriter& w, const Customer& c) {
    if (!w.appendText(c.id)) {
        return false;
    }
    w.appendInt32(c.category);
    if (!w.appendText(c.name)) {
        return false;
    }
    w.appendInt32(c.updateDate);
    w.appendInt32(c.expireDate);
    w.appendInt32(c.createDate);
    w.appendInt32(c.employee);
    w.appendInt32(c.updateEmployee);
    w.appendInt32(c.followEmployee);
    if (!w.appendText(c.email) || !w.appendText(c.info) || !w.appendText(c.tel) ||
        !w.appendText(c.fax)) {
        return false;
    }
    w.appendByte(c.version);
    return !w.failed();
}

bool readCustomer(WireReader& r, Customer& c) {
    c.id = r.readText();
    c.category = r.readInt32();
    c.name = r.readText();
    c.updateDate = r.readInt32();
    c.expireDate = r.readInt32();
    c.createDate = r.readInt32();
    c.employee = r.readInt32();
    c.updateEmployee = r.readInt32();
    c.followEmployee = r.readInt32();
    c.email = r.readText();
    c.info = r.readText();
    c.tel = r.readText();
    c.fax = r.readText();
    c.version = r.readByte();
    return !r.broken();
}

bool writeCustomerImage(WireWriter& w, const CustomerImage& image) {
    if (!w.appendText(image.name)) {
        return false;
    }
    w.appendInt32(image.customer);
    w.appendInt32(image.transDate);
    return !w.failed();
}

bool readCustomerImage(WireReader& r, CustomerImage& image) {
    image.name = r.readText();
    image.customer = r.readInt32();
    image.transDate = r.readInt32();
    return !r.broken();
}

bool writeEmployee(WireWriter& w, const Employee& e) {
    if (!w.appendText(e.id) || !w.appendText(e.name) || !w.appendText(e.password)) {
        return false;
    }
    w.appendInt32(e.permission);
    return !w.failed();
}

bool readEmployee(WireReader& r, Employee& e) {
    e.id = r.readText();
    e.name = r.readText();
    e.password = r.readText();
    e.permission = r.readInt32();
    return !r.broken();
}

bool writeEvent(WireWriter& w, const Event& e) {
    w.appendInt32(e.customer);
    w.appendInt32(e.category);
    w.appendInt32(e.employee);
    w.appendInt32(e.transDate);
    if (!w.appendText(e.title) || !w.appendText(e.description)) {
        return false;
    }
    w.appendByte(e.version);
    return !w.failed();
}

bool readEvent(WireReader& r, Event& e) {
    e.customer = r.readInt32();
    e.category = r.readInt32();
    e.employee = r.readInt32();
    e.transDate = r.readInt32();
    e.title = r.readText();
    e.description = r.readText();
    e.version = r.readByte();
    return !r.broken();
}

}  // namespace wire
