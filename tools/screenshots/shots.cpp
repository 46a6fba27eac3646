#include "shots.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionTitleBar>
#include <QWidget>

namespace vm::screenshots {

std::string FileNameFor(const std::string& caption, const std::string& fallback) {
  std::string name;
  for (char c : caption) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '&') continue;
    const bool unsafe = u < 0x20 || u == 0x7f ||
                        std::string_view("/\\:*?\"<>|'`$").find(c) != std::string_view::npos;
    name += unsafe ? '_' : c;
  }
  // No leading dot (a hidden file) and no blanks or dots at either end.
  const size_t first = name.find_first_not_of(" ._");
  const size_t last = name.find_last_not_of(" .");
  name = first == std::string::npos ? "" : name.substr(first, last - first + 1);
  if (name.empty()) name = fallback.empty() ? "Window" : fallback;
  return name + ".png";
}

bool PumpUntil(const std::function<bool()>& done, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void Settle(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  PumpUntil([end] { return std::chrono::steady_clock::now() >= end; }, ms + 1000);
}

QImage Grab(QWidget* window, QWidget* popup) {
  QImage image = window->grab().toImage().convertToFormat(QImage::Format_ARGB32);
  if (popup != nullptr && popup->isVisible()) {
    QPainter painter(&image);
    const QPoint at = popup->mapToGlobal(QPoint(0, 0)) - window->mapToGlobal(QPoint(0, 0));
    painter.drawImage(at, popup->grab().toImage());
  }
  return image;
}

QImage WithTitleBar(const QImage& body, const QString& title, QWidget* like, bool dialog) {
  QStyleOptionTitleBar bar;
  bar.initFrom(like);
  bar.text = title;
  bar.titleBarFlags =
      Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  if (!dialog) bar.titleBarFlags |= Qt::WindowMinMaxButtonsHint;
  bar.titleBarState = Qt::WindowActive;
  bar.state |= QStyle::State_Active;
  bar.subControls =
      QStyle::SC_TitleBarLabel | QStyle::SC_TitleBarSysMenu | QStyle::SC_TitleBarCloseButton;
  if (!dialog) bar.subControls |= QStyle::SC_TitleBarMinButton | QStyle::SC_TitleBarMaxButton;
  bar.icon = QApplication::windowIcon();
  QStyle* style = like->style();
  const int height = style->pixelMetric(QStyle::PM_TitleBarHeight, &bar, like);
  bar.rect = QRect(0, 0, body.width(), height);
  QImage image(body.width(), body.height() + height, QImage::Format_ARGB32);
  image.fill(like->palette().color(QPalette::Window));
  QPainter painter(&image);
  style->drawComplexControl(QStyle::CC_TitleBar, &bar, &painter, like);
  painter.drawImage(0, height, body);
  return image;
}

bool Album::Save(const QImage& image, const std::string& caption, const std::string& fallback) {
  const std::string name = FileNameFor(caption, fallback);
  const std::string path = (std::filesystem::path(dir_) / name).string();
  if (image.isNull() || !image.save(QString::fromStdString(path), "PNG")) {
    std::fprintf(stderr, "vm-screenshots: cannot write %s\n", path.c_str());
    missed_.push_back(name);
    return false;
  }
  saved_.push_back(name);
  return true;
}

void Album::Missed(const std::string& what) {
  std::fprintf(stderr, "vm-screenshots: %s\n", what.c_str());
  missed_.push_back(what);
}

}  // namespace vm::screenshots
