#include "gui/window_view.h"

#include <algorithm>

#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "runtime/picture.h"

namespace vm::gui {
namespace {

using runtime::Control;
using runtime::ControlKind;

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// The stored value as the control's picture shows it; the plain value when
// the control has no picture (or one that does not parse).
std::string Display(const std::string& picture, const std::string& value) {
  if (picture.empty()) return value;
  const auto p = runtime::ParsePicture(picture);
  return p ? runtime::FormatPicture(*p, value) : value;
}

// Characters a picture shows at most, for sizing entries.
int PictureChars(const std::string& picture) {
  const auto p = runtime::ParsePicture(picture);
  if (!p) return 20;
  switch (p->kind) {
    case runtime::Picture::Kind::kString:
    case runtime::Picture::Kind::kNumber:
      return std::clamp(p->width, 1, 80);
    case runtime::Picture::Kind::kDate:
      return p->number == 4 || p->number == 18 ? 18 : 10;
    case runtime::Picture::Kind::kTime:
      return 10;
  }
  return 20;
}

bool IsField(ControlKind k) {
  return k == ControlKind::kEntry || k == ControlKind::kString || k == ControlKind::kDropList ||
         k == ControlKind::kProgress || k == ControlKind::kText;
}

bool IsMenuEntry(ControlKind k) {
  return k == ControlKind::kMenu || k == ControlKind::kMenuItem || k == ControlKind::kCheckItem;
}

}  // namespace

WindowView::WindowView(std::shared_ptr<runtime::WindowModel> model, QWidget* body,
                       QMenuBar* menu_bar, QStatusBar* status_bar)
    : model_(std::move(model)), body_(body), menu_bar_(menu_bar), status_bar_(status_bar) {
  if (body_ != nullptr) layout_ = new QVBoxLayout(body_);
  Build(model_->Snapshot());
}

WindowView::~WindowView() {
  // Menus and status-bar widgets live in a bar that outlives this window (the
  // frame's); widgets in the body go with the body. Item actions are the
  // menus' children.
  for (auto& [number, menu] : menus_) delete menu;
  if (body_ == nullptr)
    for (auto& [number, w] : widgets_) delete w;
}

QWidget* WindowView::WidgetOf(int number) const {
  const auto it = widgets_.find(number);
  return it == widgets_.end() ? nullptr : it->second;
}

QAction* WindowView::ActionOf(int number) const {
  const auto it = actions_.find(number);
  return it == actions_.end() ? nullptr : it->second;
}

void WindowView::Build(const runtime::WindowState& state) {
  for (const Control& c : state.controls) {
    if (IsMenuEntry(c.kind)) {
      MakeMenuEntry(c);
    } else if (QWidget* w = MakeWidget(c)) {
      widgets_[c.number] = w;
      Place(c, w);
    }
  }
  if (layout_ != nullptr) layout_->addStretch(1);
  for (const Control& c : state.controls) Apply(c);
}

QWidget* WindowView::MakeWidget(const Control& c) {
  const int number = c.number;
  switch (c.kind) {
    case ControlKind::kPrompt:
    case ControlKind::kString:
      return new QLabel;
    case ControlKind::kEntry: {
      auto* e = new QLineEdit;
      const int chars = PictureChars(c.picture);
      e->setMinimumWidth(e->fontMetrics().horizontalAdvance(QString(chars, QChar('0'))) + 12);
      connect(e, &QLineEdit::editingFinished, this, [this, number, e] { CommitEntry(number, e); });
      return e;
    }
    case ControlKind::kText: {
      auto* t = new QPlainTextEdit;
      t->setReadOnly(true);  // the owner sets the text; nothing typed here goes back
      return t;
    }
    case ControlKind::kDropList: {
      auto* box = new QComboBox;
      connect(box, &QComboBox::activated, this, [this, number, box](int index) {
        model_->UserEdited(number, box->itemText(index).toStdString());
      });
      return box;
    }
    case ControlKind::kButton: {
      auto* b = new QPushButton;
      connect(b, &QPushButton::clicked, this, [this, number] { model_->UserAccepted(number); });
      return b;
    }
    case ControlKind::kList: {
      auto* list = new QTreeWidget;
      list->setRootIsDecorated(false);
      list->setSelectionMode(QAbstractItemView::SingleSelection);
      connect(list, &QTreeWidget::itemSelectionChanged, this, [this, number, list] {
        const auto items = list->selectedItems();
        model_->UserSelectedRow(number,
                                items.isEmpty() ? 0 : list->indexOfTopLevelItem(items.front()) + 1);
      });
      connect(list, &QTreeWidget::itemActivated, this,
              [this, number](QTreeWidgetItem*, int) { model_->UserAccepted(number); });
      return list;
    }
    case ControlKind::kGroup: {
      auto* g = new QGroupBox;
      new QVBoxLayout(g);
      return g;
    }
    case ControlKind::kProgress:
      return new QProgressBar;
    default:
      return nullptr;
  }
}

void WindowView::MakeMenuEntry(const Control& c) {
  if (menu_bar_ == nullptr) return;
  const int number = c.number;
  if (c.kind == ControlKind::kMenu) {
    QMenu* menu = menu_bar_->addMenu(Q(c.text));
    menus_[number] = menu;
    actions_[number] = menu->menuAction();
    return;
  }
  const auto parent = menus_.find(c.parent);
  if (parent == menus_.end()) return;  // an item of no menu shows nowhere
  QAction* a = parent->second->addAction(Q(c.text));
  a->setCheckable(c.kind == ControlKind::kCheckItem);
  // The model toggles a check item itself; the refresh shows its new state.
  connect(a, &QAction::triggered, this, [this, number] { model_->UserChoseMenuItem(number); });
  actions_[number] = a;
}

void WindowView::Place(const Control& c, QWidget* w) {
  if (body_ == nullptr) {
    status_bar_->addPermanentWidget(w, c.kind == ControlKind::kString ? 1 : 0);
    return;
  }
  QBoxLayout* target = layout_;
  const auto group = widgets_.find(c.parent);
  if (c.parent != 0 && group != widgets_.end() &&
      qobject_cast<QGroupBox*>(group->second) != nullptr)
    target = static_cast<QBoxLayout*>(group->second->layout());
  // A prompt shares its row with the field that follows it.
  if (open_row_ != nullptr && IsField(c.kind)) {
    open_row_->addWidget(w, 1);
    open_row_ = nullptr;
    return;
  }
  open_row_ = nullptr;
  if (c.kind == ControlKind::kPrompt) {
    auto* row = new QHBoxLayout;
    target->addLayout(row);
    row->addWidget(w);
    open_row_ = row;
    return;
  }
  target->addWidget(w);
}

void WindowView::Refresh() {
  const runtime::WindowState state = model_->Snapshot();
  for (const Control& c : state.controls) Apply(c);
}

void WindowView::Apply(const Control& c) {
  const auto before = shown_.find(c.number);
  if (before != shown_.end() && before->second.value == c.value && before->second.text == c.text &&
      before->second.visible == c.visible && before->second.status_text == c.status_text &&
      before->second.enabled == c.enabled && before->second.rows == c.rows &&
      before->second.selected == c.selected && before->second.choices == c.choices &&
      before->second.range_low == c.range_low && before->second.range_high == c.range_high)
    return;  // nothing this control shows has changed
  shown_[c.number] = c;
  if (IsMenuEntry(c.kind)) return ApplyMenuEntry(c);
  QWidget* w = WidgetOf(c.number);
  if (w == nullptr) return;
  const QSignalBlocker quiet(w);  // what the owner sets is no user action
  w->setEnabled(c.enabled);
  w->setStatusTip(Q(c.status_text));
  switch (c.kind) {
    case ControlKind::kPrompt:
      static_cast<QLabel*>(w)->setText(Q(c.text));
      break;
    case ControlKind::kString:
      static_cast<QLabel*>(w)->setText(Q(Display(c.picture, c.value)));
      break;
    case ControlKind::kEntry: {
      auto* e = static_cast<QLineEdit*>(w);
      e->setText(Q(Display(c.picture, c.value)));
      e->setModified(false);
      break;
    }
    case ControlKind::kText:
      if (static_cast<QPlainTextEdit*>(w)->toPlainText() != Q(c.value))
        static_cast<QPlainTextEdit*>(w)->setPlainText(Q(c.value));
      break;
    case ControlKind::kDropList: {
      auto* box = static_cast<QComboBox*>(w);
      QStringList items;
      for (const auto& s : c.choices) items << Q(s);
      QStringList now;
      for (int i = 0; i < box->count(); ++i) now << box->itemText(i);
      if (now != items) {
        box->clear();
        box->addItems(items);
      }
      box->setCurrentIndex(box->findText(Q(c.value)));
      break;
    }
    case ControlKind::kButton:
      static_cast<QPushButton*>(w)->setText(Q(c.text));
      break;
    case ControlKind::kList:
      ApplyList(c, w);
      break;
    case ControlKind::kGroup:
      static_cast<QGroupBox*>(w)->setTitle(Q(c.text));
      break;
    case ControlKind::kProgress: {
      auto* bar = static_cast<QProgressBar*>(w);
      bar->setRange(c.range_low, std::max(c.range_low, c.range_high));
      const long long v = std::atoll(c.value.c_str());
      bar->setValue(static_cast<int>(std::clamp<long long>(v, bar->minimum(), bar->maximum())));
      break;
    }
    default:
      break;
  }
  w->setVisible(c.visible);
}

void WindowView::ApplyList(const Control& c, QWidget* w) {
  auto* list = static_cast<QTreeWidget*>(w);
  const int char_width = list->fontMetrics().averageCharWidth();
  QStringList headers;
  for (const auto& col : c.columns) headers << Q(col.header);
  list->setColumnCount(std::max<int>(1, static_cast<int>(c.columns.size())));
  list->setHeaderLabels(headers);
  for (size_t i = 0; i < c.columns.size(); ++i)
    if (c.columns[i].width > 0)
      list->setColumnWidth(static_cast<int>(i), c.columns[i].width * char_width / 4);
  list->clear();
  for (const auto& row : c.rows) {
    QStringList cells;
    for (size_t i = 0; i < row.size(); ++i)
      cells << Q(Display(i < c.columns.size() ? c.columns[i].picture : std::string(), row[i]));
    list->addTopLevelItem(new QTreeWidgetItem(cells));
  }
  if (c.selected >= 1 && c.selected <= list->topLevelItemCount())
    list->setCurrentItem(list->topLevelItem(c.selected - 1));
  else
    list->clearSelection();
}

void WindowView::ApplyMenuEntry(const Control& c) {
  QAction* a = ActionOf(c.number);
  if (a == nullptr) return;
  const QSignalBlocker quiet(a);
  a->setText(Q(c.text));
  a->setStatusTip(Q(c.status_text));
  a->setEnabled(c.enabled);
  a->setVisible(c.visible);
  if (c.kind == ControlKind::kCheckItem) a->setChecked(c.value == "1");
}

void WindowView::CommitEntry(int number, QWidget* w) {
  auto* e = static_cast<QLineEdit*>(w);
  if (!e->isModified()) return;  // focus left without typing
  e->setModified(false);
  const auto c = model_->FindControl(number);
  if (!c) return;
  std::optional<std::string> value = e->text().toStdString();
  if (const auto p = runtime::ParsePicture(c->picture))
    value = runtime::DeformatPicture(*p, *value);
  if (!value) {
    // Text the picture cannot read: show the stored value again.
    const QSignalBlocker quiet(e);
    e->setText(Q(Display(c->picture, c->value)));
    return;
  }
  model_->UserEdited(number, *value);
}

}  // namespace vm::gui
