#pragma once
// Where passwords come from: standard input when the command line says so; else the program named by
// QUORBEL_ASKPASS (run in its own process group with the prompt as its one argument; what it printed
// by the time it exits, less one trailing line feed, is the password; a non-zero exit means the user
// cancelled); else the terminal with echo off.
// Passwords only ever live in SecretBytes.

#include <string>
#include <utility>

#include "imagetool/crypto/secret.h"
#include "imagetool/image_io.h"

namespace quorbel::imagetool::crypto {

// The user said no to the password prompt; nothing was changed.
class Cancelled : public ToolError {
 public:
  Cancelled() : ToolError("cancelled") {}
};

// What the password program prints, gathered in pieces: the password is all of it less one trailing
// line feed. More than 64 KiB is refused (ToolError).
class PasswordOutput {
 public:
  void append(const unsigned char* data, std::size_t length);
  SecretBytes finish();

 private:
  SecretBytes bytes_;
};

// Reads standard input up to end-of-file or a NUL byte.
SecretBytes readPasswordFromStdin();
// Reads the current and the new password from standard input, in that order, separated by a NUL
// byte; the second ends at end-of-file or another NUL byte.
std::pair<SecretBytes, SecretBytes> readTwoPasswordsFromStdin();
// Asks for a password with `prompt` (e.g. "Password of Archive.sparsebundle:") through
// QUORBEL_ASKPASS or the terminal. Throws Cancelled, or ToolError saying how to pass one.
SecretBytes askPassword(const std::string& prompt);

}  // namespace quorbel::imagetool::crypto
