#pragma once
// What an operation needs from the window, and nothing more: the control values at the moment it
// reads them, the open and save panels, the password sheet and the output pane. The window
// implements it; tests implement it with scripted answers.

#include <QString>
#include <functional>
#include <optional>

#include "core/secret.h"

namespace quorbel {

// The controls' raw values; the operation parses them with its own rules.
struct ControlValues {
  QString maxSizeText;
  int maxSizeUnit = 0;  // index into sizeList2, -1 for none
  QString bandSizeText;
  int bandSizeUnit = 0;         // index into sizeList
  int filesystemIndex = 0;      // index into filesystemList
  int encryptIndex = 0;         // index into encryptList
  bool batteryAllowed = false;  // only a fully checked box allows battery power
};

enum class PasswordPurpose { NewImage, NewPassword };

// A panel's answer: the chosen path, or nothing for Cancel.
using PathAnswer = std::function<void(std::optional<QString> path)>;
// The sheet's answer: the password, or nothing for Cancel.
using PasswordAnswer = std::function<void(std::optional<SecretBytes> password)>;

class OperationHost {
 public:
  virtual ~OperationHost() = default;

  virtual ControlValues controlValues() const = 0;
  // Both panels answer later, from the event loop, never from inside the call.
  virtual void beginOpenPanel(const QString& prompt, PathAnswer answer) = 0;
  // `proposed`: the path the save panel offers first (empty: none).
  virtual void beginSavePanel(const QString& proposed, PathAnswer answer) = 0;
  virtual void askForPassword(PasswordPurpose purpose, PasswordAnswer answer) = 0;
  // The output pane: add at the end, or replace everything.
  virtual void append(const QString& text) = 0;
  virtual void replace(const QString& text) = 0;
};

}  // namespace quorbel
