// What the client knows about its login, kept by the main window for the whole run and read
// by the windows it opens. Filled by the start-up login; the reconnection reuses the address,
// the employee number and the password without asking again.
#pragma once

#include <QString>

#include "records.h"

struct LoginState {
    QString serverAddress;      // server IP + ":" + port, as last used to connect
    QString loginId;            // employee number as typed at the last connection attempt
    QString loginPassword;      // password as typed at the last connection attempt
    wire::Oid employeeOid = 0;  // from the Login reply; 0 before the login
    wire::Employee employee;    // the logged-in employee's record
    QString employeeNumber;     // copy of employee.id; the event list shows it on new events
};
