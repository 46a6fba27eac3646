// Taking the pictures of the screenshot tool: bounded waits that keep the GUI
// loop running, grabbing a window (with a drawn title bar for top-level
// windows, which have no window manager to draw one under Xvfb, and with an
// open popup menu laid over it) and saving PNG files named after captions.
// GUI thread only.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <QImage>
#include <QString>

class QWidget;

namespace vm::screenshots {

// The PNG file name of a window: its caption without "&" and with the
// characters file systems refuse (or shells trip on) as "_";
// `fallback` when nothing is left ("Send Mail - Quorvane" ->
// "Send Mail - Quorvane.png").
std::string FileNameFor(const std::string& caption, const std::string& fallback);

// Runs the GUI loop until `done` holds; false when `ms` milliseconds passed first.
bool PumpUntil(const std::function<bool()>& done, int ms);
// Runs the GUI loop for `ms` milliseconds (pending layouts and repaints).
void Settle(int ms);

// `window` as it draws itself now, with `popup` (an open menu, may be null)
// laid over it where it shows on screen.
QImage Grab(QWidget* window, QWidget* popup = nullptr);
// `body` under a title bar with `title`, drawn by the application's style as
// it draws the title bars of MDI children; a dialog's has only a close button.
QImage WithTitleBar(const QImage& body, const QString& title, QWidget* like, bool dialog = false);

// Saves the pictures into one folder and keeps the list of what it saved.
class Album {
 public:
  explicit Album(std::string dir) : dir_(std::move(dir)) {}
  // Saves `image` as the file named after `caption`; false (and a line on
  // standard error) when it cannot.
  bool Save(const QImage& image, const std::string& caption, const std::string& fallback = "");
  // A window that could not be taken: remembered and reported.
  void Missed(const std::string& what);
  const std::vector<std::string>& saved() const { return saved_; }
  const std::vector<std::string>& missed() const { return missed_; }

 private:
  std::string dir_;
  std::vector<std::string> saved_;
  std::vector<std::string> missed_;
};

}  // namespace vm::screenshots
