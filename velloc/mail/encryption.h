// Encryption of a mail body by the external pgp program, which lies in the PGP
// directory of the settings. The program is started without a shell as a filter:
// the plain body on its standard input, the encrypted text on its standard output,
// its diagnostics appended to "PGP.LOG" in the current directory. Of the run's
// environment it gets only the variables that platform::is_helper_variable lets
// through: nothing the request brought (HTTP_PROXY from a "Proxy:" header, ...).
#pragma once

#include <string>

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

// Encrypts `body_file` for the key named by `target`. On success the plain file is
// deleted and `body_file` names the encrypted one. Any failure (files, start, an
// unsuccessful exit, no end within the polls) deletes both files and ends the run
// with the failure page; no plain or partial body is ever mailed.
void encrypt_body_file(Run& run, std::string& body_file, const std::string& target,
                       EncryptionInput input = EncryptionInput::kText);
