// Encryption of a mail body by the external pgp program, which lies in the PGP
// directory of the settings. The program is started without a shell as a filter:
// the plain body on its standard input, the encrypted text on its standard output,
// its diagnostics appended to "PGP.LOG" in the current directory. Of the run's
// environment it gets only the variables that platform::is_helper_variable lets
// through: nothing the request brought (HTTP_PROXY from a "Proxy:" header, ...).
#pragma once

#include <string>

#include "platform/temp_file.h"

struct Run;

// Polls of the running program, 500 ms apart (15 seconds).
inline constexpr int kEncryptionPolls = 30;
inline constexpr int kEncryptionPollMs = 500;

// What the program is told about its input: a mail body is text ("-feat"), a
// visitor's file is taken byte for byte ("-fea").
enum class EncryptionInput { kText, kBinary };

// The command as shown in messages: "<PGP directory>pgp -feat <target>" ("-fea"
// for binary input).
std::string encryption_command_text(const std::string& pgp_directory, const std::string& target,
                                    EncryptionInput input = EncryptionInput::kText);

// Encrypts the whole file open at `plain_fd` (read from its start; the caller keeps it)
// for the key named by `target` into a new temporary file, which is returned. Any failure
// (files, start, an unsuccessful exit, no end within the polls) removes the new file and
// ends the run with the failure page; no plain or partial body is ever mailed.
platform::TempFile encrypt_file(Run& run, int plain_fd, const std::string& target,
                                EncryptionInput input = EncryptionInput::kText);
