// Exit statuses of the mailer: the whole table, and nothing else is returned.
#pragma once

constexpr int kExitSent = 0;               // message accepted, or -install stored both settings
constexpr int kExitUsage = 1;              // no arguments, -h, stray argument, bad option value
constexpr int kExitNoMessageFile = 2;      // argument 1 is neither "-" nor an existing file
constexpr int kExitCantOpen = 3;           // the message file cannot be opened for reading
constexpr int kExitNotDiskFile = 4;        // the message file is a device, a pipe, ...
constexpr int kExitReadFailed = 5;         // reading the message file failed
constexpr int kExitInstallCount = 6;       // -install with a wrong argument count
constexpr int kExitNoServerOrSender = 12;  // no server or no usable envelope sender
constexpr int kExitTempFile = 13;          // the console-input temporary file cannot be written
constexpr int kExitQueued = 14;  // -queue: stored, to be sent by quib -flush; -flush: some wait
constexpr int kExitSomeRefused = 15;  // sent, but some recipients were refused
constexpr int kExitSmtpFailed = -1;   // the SMTP dialogue failed
