#include "gui/window_view.h"

#include <algorithm>
#include <cmath>

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QStyle>
#include <QToolTip>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWheelEvent>

#include "runtime/date_time.h"
#include "runtime/event.h"
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

// Entries of this many characters or more take the room their row has.
constexpr int kWideChars = 64;

// Whether a widget grows with its row (fixed-width entries and drop lists do not).
bool Grows(const QWidget* w) {
  return w->maximumWidth() == QWIDGETSIZE_MAX && qobject_cast<const QComboBox*>(w) == nullptr;
}

bool IsNumber(const std::string& picture) {
  const auto p = runtime::ParsePicture(picture);
  return p && p->kind == runtime::Picture::Kind::kNumber;
}

// The widest text a date, time or number picture shows (a late day and time
// with broad digits and the longest month name); empty for a text picture,
// whose width caps what is stored and says nothing of what the rows hold.
QString PictureSample(const std::string& picture) {
  const auto p = runtime::ParsePicture(picture);
  if (!p) return {};
  switch (p->kind) {
    case runtime::Picture::Kind::kDate:
      return Q(runtime::FormatDate(runtime::DayFromDate(2088, 9, 28), p->number));
    case runtime::Picture::Kind::kTime:
      return Q(runtime::FormatTime(runtime::TimeFrom(23, 58, 58), p->number));
    case runtime::Picture::Kind::kNumber:
      return QString(std::clamp(p->width, 1, 80), QChar('8'));
    case runtime::Picture::Kind::kString:
      return {};
  }
  return {};
}

// A list column is never sized wider than this many average characters by
// itself; a longer text shows cut, and whole in its tooltip.
constexpr int kMaxColumnChars = 100;

// Room a list cell leaves beside its text on each side (as the style draws it).
int CellMargin(const QWidget* list) {
  return list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
}

// The width column `i` of `list` needs to show its header, the widest text
// of its picture and of the rows it holds now, and at least the width the
// window gives it in dialog units (a quarter of the average character).
int ColumnWidthFor(QTreeWidget* list, const runtime::ListColumn& col, int i) {
  const int unit = list->fontMetrics().averageCharWidth();
  int width = std::max(col.width, 0) * unit / 4;
  width = std::max(width, list->header()->sectionSizeHint(i));
  const QFontMetricsF metrics(list->font());
  qreal text = metrics.horizontalAdvance(PictureSample(col.picture));
  for (int row = 0; row < list->topLevelItemCount(); ++row)
    text = std::max(text, metrics.horizontalAdvance(list->topLevelItem(row)->text(i)));
  if (text > 0) width = std::max(width, static_cast<int>(std::ceil(text)) + 2 * CellMargin(list));
  return std::min(width, kMaxColumnChars * unit);
}

// The part of cell (item, column) that shows in the viewport is narrower
// than its text.
bool TextIsCut(const QTreeWidget* list, const QTreeWidgetItem* item, int column) {
  const int start = list->header()->sectionViewportPosition(column);
  const int end = std::min(start + list->columnWidth(column), list->viewport()->width());
  const int room = end - std::max(start, 0) - 2 * CellMargin(list);
  return QFontMetricsF(list->font()).horizontalAdvance(item->text(column)) > room;
}

// A tooltip event over a list: the whole text of a cut cell, nothing over
// one that shows whole.
void ShowCutText(QTreeWidget* list, const QHelpEvent* help) {
  QTreeWidgetItem* item = list->itemAt(help->pos());
  const int column = list->columnAt(help->pos().x());
  if (item != nullptr && column >= 0 && TextIsCut(list, item, column)) {
    QToolTip::showText(help->globalPos(), item->text(column), list->viewport(),
                       list->visualItemRect(item));
  } else {
    QToolTip::hideText();
  }
}

// A list that asks for the room of all its columns, which may be more than
// its minimum: a window placed on a smaller area still fits, and the
// columns scroll there.
class ListWidget final : public QTreeWidget {
 public:
  void SetPreferredWidth(int width) {
    preferred_width_ = width;
    updateGeometry();
  }
  QSize sizeHint() const override {
    QSize hint = QTreeWidget::sizeHint();
    hint.setWidth(std::max(hint.width(), preferred_width_));
    return hint;
  }

 private:
  int preferred_width_ = 0;
};

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
      w->installEventFilter(this);  // status text on focus; committing texts
    }
  }
  for (const Control& c : state.controls) Place(state, c);
  if (layout_ != nullptr) layout_->addStretch(1);
  for (const Control& c : state.controls) Apply(c);
  AlignPrompts();
}

QWidget* WindowView::MakeWidget(const Control& c) {
  const int number = c.number;
  switch (c.kind) {
    case ControlKind::kPrompt:
      return new QLabel;
    case ControlKind::kString: {
      // Room for what the picture can show, so a status line that grows
      // later is not cut at the width of its first text.
      auto* label = new QLabel;
      if (!c.picture.empty())
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance(
            QString(std::min(PictureChars(c.picture), kWideChars), QChar('x'))));
      return label;
    }
    case ControlKind::kEntry: {
      auto* e = new QLineEdit;
      // As wide as the picture shows (long texts take at least a wide field
      // and grow with the window); a text picture also caps what is typed.
      const int chars = PictureChars(c.picture);
      const int width =
          e->fontMetrics().horizontalAdvance(QString(std::min(chars, kWideChars), QChar('0'))) + 12;
      if (chars >= kWideChars)
        e->setMinimumWidth(width);
      else
        e->setFixedWidth(width);
      if (const auto p = runtime::ParsePicture(c.picture);
          p && p->kind == runtime::Picture::Kind::kString && p->width > 0)
        e->setMaxLength(p->width);
      if (IsNumber(c.picture)) e->setAlignment(Qt::AlignRight);
      if (c.secret) {
        // Masked, and handed over apart from the values (then cleared), so
        // no copy of the window's controls ever holds it.
        e->setEchoMode(QLineEdit::Password);
        secrets_.insert(number);
      }
      connect(e, &QLineEdit::editingFinished, this, [this, number, e] { CommitEntry(number, e); });
      return e;
    }
    case ControlKind::kText: {
      // Typed text goes to the owner when the box loses focus or a button
      // is pressed; a disabled box cannot be typed into.
      auto* t = new QPlainTextEdit;
      t->setTabChangesFocus(true);
      t->setReadOnly(c.read_only);
      t->setMinimumHeight(t->fontMetrics().lineSpacing() * 5 + 12);
      return t;
    }
    case ControlKind::kDropList: {
      auto* box = new QComboBox;
      box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
      connect(box, &QComboBox::activated, this, [this, number, box](int index) {
        model_->UserEdited(number, box->itemText(index).toStdString());
      });
      return box;
    }
    case ControlKind::kButton: {
      auto* b = new QPushButton;
      connect(b, &QPushButton::clicked, this, [this, number] {
        CommitPending();
        model_->UserAccepted(number);
      });
      return b;
    }
    case ControlKind::kList: {
      auto* list = new ListWidget;
      list->setRootIsDecorated(false);
      list->setUniformRowHeights(true);
      list->setSelectionMode(QAbstractItemView::SingleSelection);
      list->viewport()->installEventFilter(this);  // the wheel beyond the page; tooltips
      // A dozen rows; the width follows the columns (FitColumns).
      list->setMinimumHeight(list->fontMetrics().lineSpacing() * 13);
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
    case ControlKind::kProgress: {
      auto* bar = new QProgressBar;
      bar->setMinimumWidth(bar->fontMetrics().averageCharWidth() * 40);
      return bar;
    }
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

// Controls go top to bottom in control order. A grouped control goes into
// its group, and the group shows where its first member comes (members may
// be defined before the group). A control whose parent is a field (a unit
// label such as "In Sec") shows beside that field.
void WindowView::Place(const runtime::WindowState& state, const Control& c) {
  QWidget* w = WidgetOf(c.number);
  if (w == nullptr || placed_[c.number]) return;
  placed_[c.number] = true;
  if (body_ == nullptr) {
    status_bar_->addPermanentWidget(w, c.kind == ControlKind::kString ? 1 : 0);
    return;
  }
  QBoxLayout* target = layout_;
  if (c.parent != 0 && c.parent != c.number) {
    QWidget* parent = WidgetOf(c.parent);
    if (auto* group = qobject_cast<QGroupBox*>(parent)) {
      if (!placed_[c.parent]) {
        for (const Control& g : state.controls)
          if (g.number == c.parent) Place(state, g);
      }
      target = static_cast<QBoxLayout*>(group->layout());
    } else if (const auto row = rows_.find(c.parent); parent != nullptr && row != rows_.end()) {
      row->second->insertWidget(row->second->count() - 1, w);  // before the row's stretch
      open_row_ = nullptr;
      return;
    }
  }
  AddToLayout(c, w, target);
}

void WindowView::AddToLayout(const Control& c, QWidget* w, QBoxLayout* target) {
  // A prompt shares its row with the field that follows it.
  if (c.kind != ControlKind::kButton) button_row_ = nullptr;
  if (open_row_ != nullptr && open_target_ == target && IsField(c.kind)) {
    open_row_->addWidget(w, Grows(w) ? 1 : 0);
    if (c.kind == ControlKind::kText) open_row_->setAlignment(open_prompt_, Qt::AlignTop);
    open_row_->addStretch(0);  // takes what a fixed-width field leaves
    rows_[c.number] = open_row_;
    prompts_[target].push_back(open_prompt_);
    open_row_ = nullptr;
    return;
  }
  open_row_ = nullptr;
  if (c.kind == ControlKind::kPrompt) {
    auto* row = new QHBoxLayout;
    target->addLayout(row);
    row->addWidget(w);
    open_row_ = row;
    open_target_ = target;
    open_prompt_ = w;
    return;
  }
  if (c.kind == ControlKind::kButton) {
    // Buttons that follow each other share one row, on its right.
    if (button_row_ == nullptr || button_target_ != target) {
      button_row_ = new QHBoxLayout;
      button_row_->addStretch(1);
      target->addLayout(button_row_);
      button_target_ = target;
    }
    button_row_->addWidget(w);
    return;
  }
  if (Grows(w) || c.kind == ControlKind::kList)
    target->addWidget(w);
  else
    target->addWidget(w, 0, Qt::AlignLeft);
}

// The prompts before fields in one box take one width, so the fields line up.
void WindowView::AlignPrompts() {
  for (auto& [box, prompts] : prompts_) {
    int widest = 0;
    for (QWidget* p : prompts) widest = std::max(widest, p->sizeHint().width());
    for (QWidget* p : prompts) p->setMinimumWidth(widest);
  }
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
  const bool first = before == shown_.end();
  const bool rows_changed = first || before->second.rows != c.rows;
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
    case ControlKind::kText: {
      auto* t = static_cast<QPlainTextEdit*>(w);
      if (t->toPlainText() != Q(c.value)) {
        t->setPlainText(Q(c.value));
        // A transcript that grows shows its newest lines.
        if (c.read_only) t->verticalScrollBar()->setValue(t->verticalScrollBar()->maximum());
      }
      t->document()->setModified(false);
      break;
    }
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
      ApplyList(c, w, first, rows_changed);
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

void WindowView::ApplyList(const Control& c, QWidget* w, bool first, bool rows_changed) {
  auto* list = static_cast<QTreeWidget*>(w);
  if (first) {
    QStringList headers;
    for (const auto& col : c.columns) headers << Q(col.header);
    list->setColumnCount(std::max<int>(1, static_cast<int>(c.columns.size())));
    list->setHeaderLabels(headers);
  }
  if (rows_changed) {
    list->clear();
    for (const auto& row : c.rows) {
      QStringList cells;
      for (size_t i = 0; i < row.size(); ++i)
        cells << Q(Display(i < c.columns.size() ? c.columns[i].picture : std::string(), row[i]));
      auto* item = new QTreeWidgetItem(cells);
      for (size_t i = 0; i < c.columns.size() && i < row.size(); ++i)
        if (IsNumber(c.columns[i].picture))
          item->setTextAlignment(static_cast<int>(i), Qt::AlignRight | Qt::AlignVCenter);
      list->addTopLevelItem(item);
    }
  }
  if (first || (fitted_.count(c.number) == 0 && !c.rows.empty())) FitColumns(c, list, first);
  if (c.selected >= 1 && c.selected <= list->topLevelItemCount()) {
    QTreeWidgetItem* item = list->topLevelItem(c.selected - 1);
    if (list->currentItem() != item) list->setCurrentItem(item);
    if (!item->isSelected()) item->setSelected(true);
  } else {
    list->clearSelection();
  }
}

// Widths are set when the list opens and, if it opened empty, again when its
// first rows show; after that they are the user's to drag, and a text that
// does not fit shows whole in its tooltip. On opening, the list asks for the
// room of its columns and its scroll bar, and takes at least that up to 100
// characters.
void WindowView::FitColumns(const Control& c, QTreeWidget* list, bool opening) {
  int total = 0;
  for (size_t i = 0; i < c.columns.size(); ++i) {
    const int column = static_cast<int>(i);
    int width = ColumnWidthFor(list, c.columns[i], column);
    if (!opening) width = std::max(width, list->columnWidth(column));
    list->setColumnWidth(column, width);
    total += width;
  }
  if (!c.rows.empty()) fitted_.insert(c.number);
  if (!opening) return;
  const int room = total + 2 * list->frameWidth() + list->verticalScrollBar()->sizeHint().width();
  list->setMinimumWidth(std::min(room, 100 * list->fontMetrics().averageCharWidth()));
  static_cast<ListWidget*>(list)->SetPreferredWidth(room);
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
  if (secrets_.count(number) != 0) {
    model_->UserEnteredSecret(number, e->text().toStdString());
    const QSignalBlocker quiet(e);
    e->clear();
    return;
  }
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

void WindowView::CommitText(int number, QWidget* w) {
  auto* t = static_cast<QPlainTextEdit*>(w);
  if (!t->document()->isModified()) return;
  t->document()->setModified(false);
  model_->UserEdited(number, t->toPlainText().toStdString());
}

void WindowView::CommitPending() {
  for (const auto& [number, w] : widgets_) {
    if (qobject_cast<QLineEdit*>(w) != nullptr)
      CommitEntry(number, w);
    else if (qobject_cast<QPlainTextEdit*>(w) != nullptr)
      CommitText(number, w);
  }
}

bool WindowView::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type == QEvent::ToolTip) {
    for (const auto& [number, w] : widgets_) {
      auto* list = qobject_cast<QTreeWidget*>(w);
      if (list != nullptr && watched == list->viewport()) {
        ShowCutText(list, static_cast<QHelpEvent*>(event));
        return true;
      }
    }
  } else if (type == QEvent::KeyPress || type == QEvent::Wheel) {
    for (const auto& [number, w] : widgets_) {
      auto* list = qobject_cast<QTreeWidget*>(w);
      if (list != nullptr && (watched == list || watched == list->viewport()))
        return ScrollList(number, list, event) || QObject::eventFilter(watched, event);
    }
  } else if (type == QEvent::FocusIn || type == QEvent::FocusOut) {
    auto* w = qobject_cast<QWidget*>(watched);
    if (w != nullptr && !w->statusTip().isEmpty()) {
      QStatusTipEvent tip(type == QEvent::FocusIn ? w->statusTip() : QString());
      QCoreApplication::sendEvent(w, &tip);
    }
    if (type == QEvent::FocusOut && qobject_cast<QPlainTextEdit*>(watched) != nullptr) {
      for (const auto& [number, x] : widgets_)
        if (x == watched) CommitText(number, x);
    }
  }
  return QObject::eventFilter(watched, event);
}

// A list shows one page of rows; moving past its first or last row, paging,
// Ctrl+Home/End and the wheel at either end of the page ask the owner for
// other rows. True when the event was taken for that.
bool WindowView::ScrollList(int number, QWidget* w, QEvent* event) {
  auto* list = static_cast<QTreeWidget*>(w);
  int32_t how = 0;
  if (event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const int row =
        list->currentItem() == nullptr ? -1 : list->indexOfTopLevelItem(list->currentItem());
    const int last = list->topLevelItemCount() - 1;
    const bool ctrl = (key->modifiers() & Qt::ControlModifier) != 0;
    switch (key->key()) {
      case Qt::Key_Down:
        if (row >= last) how = runtime::kEventScrollDown;
        break;
      case Qt::Key_Up:
        if (row <= 0) how = runtime::kEventScrollUp;
        break;
      case Qt::Key_PageDown:
        how = runtime::kEventPageDown;
        break;
      case Qt::Key_PageUp:
        how = runtime::kEventPageUp;
        break;
      case Qt::Key_Home:
        if (ctrl) how = runtime::kEventScrollTop;
        break;
      case Qt::Key_End:
        if (ctrl) how = runtime::kEventScrollBottom;
        break;
      default:
        break;
    }
  } else if (event->type() == QEvent::Wheel) {
    const int dy = static_cast<QWheelEvent*>(event)->angleDelta().y();
    const QScrollBar* bar = list->verticalScrollBar();
    if (dy < 0 && bar->value() >= bar->maximum()) how = runtime::kEventScrollDown;
    if (dy > 0 && bar->value() <= bar->minimum()) how = runtime::kEventScrollUp;
  }
  if (how == 0) return false;
  model_->UserScrolled(number, how);
  return true;
}

}  // namespace vm::gui
