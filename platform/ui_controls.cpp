// User-interface runtime, controls: one builder per control kind, labels, attributes,
// values and list entries.
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/testing/ui_testing.h"
#include "platform/ui_runtime.h"

using namespace ui::detail;

namespace {

void ApplyAccessible(Panel* p, Control* c) {
  if (!c->editor) return;
  c->editor->setAccessibleName(c->labelText);
  c->editor->setAccessibleDescription(QStringLiteral("%1:%2").arg(p->resource).arg(c->id));
}

// Places the label above the editor (buttons and check boxes carry their own text).
void PlaceLabel(Panel* p, Control* c) {
  const bool ownText = c->kind == Kind::Button || c->kind == Kind::CheckBox;
  if (ownText || c->kind == Kind::Timer) return;
  if (c->labelText.isEmpty()) {
    if (c->label) c->label->hide();
    return;
  }
  if (!c->label) c->label = new QLabel(p->content);
  c->label->setText(c->labelText);
  c->label->adjustSize();
  const QRect g = c->editor->geometry();
  c->label->move(g.left(), std::max(0, g.top() - c->label->height() - 2));
  c->label->setVisible(c->editor->isVisibleTo(p->content));
}

// A button text too wide for its button is broken in two lines at the space nearest the
// middle; the label as given stays the accessible name.
QString FitButtonText(const QPushButton* b, const QString& text) {
  if (text.contains(QLatin1Char('\n')) ||
      b->fontMetrics().horizontalAdvance(text) <= b->width() - 12)
    return text;
  int best = -1;
  for (int i = 0; i < text.size(); ++i)
    if (text[i] == QLatin1Char(' ') &&
        (best < 0 || std::abs(i - text.size() / 2) < std::abs(best - text.size() / 2)))
      best = i;
  if (best < 0) return text;
  QString out = text;
  out[best] = QLatin1Char('\n');
  return out;
}

void SetLabel(Panel* p, Control* c, const QString& text) {
  c->labelText = text;
  if (auto* b = qobject_cast<QPushButton*>(c->editor)) b->setText(FitButtonText(b, text));
  if (c->kind == Kind::CheckBox) static_cast<QCheckBox*>(c->editor)->setText(text);
  PlaceLabel(p, c);
  ApplyAccessible(p, c);
}

int SelectItemByValue(Control* c, int value) {
  for (std::size_t i = 0; i < c->items.size(); ++i) {
    if (c->items[i].second != value) continue;
    c->settingValue = true;
    if (auto* cb = qobject_cast<QComboBox*>(c->editor)) cb->setCurrentIndex(static_cast<int>(i));
    if (auto* lw = qobject_cast<QListWidget*>(c->editor)) lw->setCurrentRow(static_cast<int>(i));
    c->settingValue = false;
    return 0;
  }
  return UI_ERR_BAD_VALUE;
}

int SelectedItem(Control* c) {
  if (auto* cb = qobject_cast<QComboBox*>(c->editor)) return cb->currentIndex();
  if (auto* lw = qobject_cast<QListWidget*>(c->editor)) return lw->currentRow();
  return -1;
}

// Builders, one per control kind: each makes the control's widget on the panel, wires its
// commit, and sets `size` where the kind's default differs from 100 x 24. A width of 0
// means "as wide as the widget wants, at least 90".
using Builder = QWidget* (*)(Panel* p, Control* c, const ControlSpec& s, QSize& size);

QWidget* BuildNumeric(Panel* p, Control*, const ControlSpec& s, QSize&) {
  const int h = p->handle, id = s.id;
  QWidget* e = nullptr;
  if (s.isDouble) {
    auto* sb = new QDoubleSpinBox(p->content);
    sb->setDecimals(s.precision);
    sb->setRange(s.min, s.max);
    sb->setValue(s.value.toDouble(0.0));
    if (!s.unit.isEmpty()) sb->setSuffix(QLatin1Char(' ') + s.unit);
    QObject::connect(sb, &QDoubleSpinBox::valueChanged, sb, [h, id, sb](double v) {
      Control* ctl = FindCtrl(h, id);
      if (!ctl || ctl->settingValue) return;
      // The operator has brought a value shown as read back into range: keep it there.
      if (v >= ctl->min && v <= ctl->max) sb->setRange(ctl->min, ctl->max);
      ctl->exactHeld = false;  // the operator's value, as the box shows it
      DispatchCtrl(h, id, EVENT_COMMIT);
    });
    e = sb;
  } else {
    auto* sb = new QSpinBox(p->content);
    sb->setRange(static_cast<int>(std::max(s.min, -2147483648.0)),
                 static_cast<int>(std::min(s.max, 2147483647.0)));
    sb->setValue(s.value.toInt(0));
    if (!s.unit.isEmpty()) sb->setSuffix(QLatin1Char(' ') + s.unit);
    QObject::connect(sb, &QSpinBox::valueChanged, sb, [h, id, sb](int v) {
      Control* ctl = FindCtrl(h, id);
      if (!ctl || ctl->settingValue) return;
      if (v >= ctl->min && v <= ctl->max)
        sb->setRange(static_cast<int>(std::max(ctl->min, -2147483648.0)),
                     static_cast<int>(std::min(ctl->max, 2147483647.0)));
      DispatchCtrl(h, id, EVENT_COMMIT);
    });
    e = sb;
  }
  auto* asb = static_cast<QAbstractSpinBox*>(e);
  asb->setKeyboardTracking(false);  // commit on Enter, focus change or arrow, not per key
  asb->setAlignment(Qt::AlignRight);
  if (s.readOnly) {
    asb->setReadOnly(true);
    asb->setButtonSymbols(QAbstractSpinBox::NoButtons);
    asb->setFocusPolicy(Qt::NoFocus);
  }
  return e;
}

QWidget* BuildString(Panel* p, Control*, const ControlSpec& s, QSize& size) {
  const int h = p->handle, id = s.id;
  auto* le = new QLineEdit(p->content);
  le->setMaxLength(s.maxLength);
  le->setText(s.value.toString());
  le->setReadOnly(s.readOnly);
  QObject::connect(le, &QLineEdit::editingFinished, le, [le, h, id] {
    if (!le->isModified()) return;
    le->setModified(false);
    DispatchCtrl(h, id, EVENT_COMMIT);
  });
  size = QSize(140, 24);
  return le;
}

QWidget* BuildTextMsg(Panel* p, Control*, const ControlSpec& s, QSize& size) {
  auto* lb = new QLabel(s.value.toString(), p->content);
  lb->setWordWrap(true);
  size = QSize(200, 20);
  return lb;
}

QWidget* BuildRing(Panel* p, Control*, const ControlSpec& s, QSize& size) {
  const int h = p->handle, id = s.id;
  auto* cb = new QComboBox(p->content);
  for (const auto& it : s.items) cb->addItem(it.first, it.second);
  QObject::connect(cb, &QComboBox::activated, cb,
                   [h, id](int) { DispatchCtrl(h, id, EVENT_COMMIT); });
  size = QSize(120, 24);
  return cb;
}

// A switch is a check box without text of its own.
QWidget* BuildCheckBox(Panel* p, Control*, const ControlSpec& s, QSize& size) {
  const int h = p->handle, id = s.id;
  auto* ck = new QCheckBox(p->content);
  ck->setChecked(s.value.toInt(0) != 0);
  // toggled, not clicked: assistive technology toggles the box without a click.
  QObject::connect(ck, &QCheckBox::toggled, ck, [h, id](bool) {
    Control* ctl = FindCtrl(h, id);
    if (ctl && !ctl->settingValue) DispatchCtrl(h, id, EVENT_COMMIT);
  });
  size = s.kind == Kind::Switch ? QSize(24, 24) : QSize(0, 22);
  return ck;
}

QWidget* BuildButton(Panel* p, Control*, const ControlSpec& s, QSize& size) {
  const int h = p->handle, id = s.id;
  auto* pb = new QPushButton(p->content);
  pb->setAutoDefault(false);
  QObject::connect(pb, &QPushButton::clicked, pb,
                   [h, id](bool) { DispatchCtrl(h, id, EVENT_COMMIT); });
  size = QSize(0, 28);
  return pb;
}

// A timer has no widget: only its QTimer, owned by the panel's content.
QWidget* BuildTimer(Panel* p, Control* c, const ControlSpec& s, QSize&) {
  const int h = p->handle, id = s.id;
  c->timer = new QTimer(p->content);
  c->timer->setTimerType(Qt::PreciseTimer);
  c->interval = s.interval;
  c->timer->setInterval(static_cast<int>(std::lround(s.interval * 1000.0)));
  QObject::connect(c->timer, &QTimer::timeout, c->timer, [h, id] { DispatchTimer(h, id); });
  c->timerEnabled = s.enabled;
  return nullptr;
}

QWidget* BuildList(Panel* p, Control*, const ControlSpec& s, QSize& size) {
  const int h = p->handle, id = s.id;
  auto* lw = new QListWidget(p->content);
  for (const auto& it : s.items) lw->addItem(it.first);
  if (!s.items.empty()) lw->setCurrentRow(0);
  if (s.multiSelect) {
    // A log view: lines of equal height, taken out by selection and Ctrl+C.
    lw->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lw->setUniformItemSizes(true);
    lw->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* copy = new QAction(lw);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    lw->addAction(copy);
    QObject::connect(copy, &QAction::triggered, lw, [lw] {
      QStringList lines;
      for (int i = 0; i < lw->count(); ++i)
        if (lw->item(i)->isSelected()) lines << lw->item(i)->text();
      QGuiApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
    });
  }
  QObject::connect(lw, &QListWidget::itemActivated, lw,
                   [h, id](QListWidgetItem*) { DispatchCtrl(h, id, EVENT_COMMIT); });
  size = QSize(150, 60);
  return lw;
}

Builder BuilderFor(Kind kind) {
  switch (kind) {
    case Kind::Numeric: return BuildNumeric;
    case Kind::String: return BuildString;
    case Kind::TextMsg: return BuildTextMsg;
    case Kind::Ring: return BuildRing;
    case Kind::Switch:
    case Kind::CheckBox: return BuildCheckBox;
    case Kind::Button: return BuildButton;
    case Kind::Timer: return BuildTimer;
    case Kind::List: return BuildList;
  }
  return nullptr;
}

}  // namespace

namespace ui::detail {

Control* AddControl(Panel* p, const ControlSpec& s) {
  auto c = std::make_unique<Control>();
  c->id = s.id;
  c->kind = s.kind;
  c->isDouble = s.isDouble;
  c->items = s.items;
  c->itemTexts = s.itemTexts;
  c->min = s.min;
  c->max = s.max;
  QSize size(100, 24);
  const Builder build = BuilderFor(s.kind);
  QWidget* e = build ? build(p, c.get(), s, size) : nullptr;
  c->editor = e;
  Control* raw = c.get();
  p->controls[s.id] = std::move(c);
  if (e) {
    e->setObjectName(QStringLiteral("ctrl%1").arg(s.id));
    if (size.width() == 0) size.setWidth(std::max(e->sizeHint().width(), 90));
    if (s.width > 0) size.setWidth(s.width);
    if (s.height > 0) size.setHeight(s.height);
    e->setGeometry(s.left, s.top, size.width(), size.height());
    e->setEnabled(!s.dimmed);
    e->setVisible(s.visible);
    if (s.kind == Kind::Ring && !s.value.isUndefined()) SelectItemByValue(raw, s.value.toInt());
    if (s.kind == Kind::Button && s.width == 0) {
      auto* ab = static_cast<QAbstractButton*>(e);
      ab->setText(s.label);
      e->resize(std::max(ab->sizeHint().width() + 16, 90), e->height());
    }
  }
  SetLabel(p, raw, s.label);
  return raw;
}

void StartTimerIfEnabled(Control* c) {
  if (c->timer && c->timerEnabled && !c->timer->isActive()) c->timer->start();
}

QString SourceText(int n, const QString& fallback) {
  const char* t = g_textSource && n >= 0 ? g_textSource(n) : nullptr;
  return t && *t ? FromCp1252(t) : fallback;
}

void ApplyTexts(Panel* p) {
  if (!g_textSource || !p) return;
  auto text = [](int n, QString* out) {
    const char* t = n >= 0 ? g_textSource(n) : nullptr;
    if (!t || !*t) return false;
    *out = FromCp1252(t);
    return true;
  };
  QString t;
  if (text(p->titleText, &t)) {
    p->window->setWindowTitle(t);
    p->window->setAccessibleName(t);
  }
  // Menu texts keep a keyboard mnemonic: the first letter unless the text marks one.
  for (const auto& [action, n] : p->menuTexts)
    if (text(n, &t)) action->setText(t.contains(QLatin1Char('&')) ? t : QLatin1Char('&') + t);
  for (const auto& [id, c] : p->controls) {
    if (auto* ring = qobject_cast<QComboBox*>(c->editor))
      for (std::size_t i = 0; i < c->itemTexts.size() && i < c->items.size(); ++i)
        if (text(c->itemTexts[i], &t)) {
          c->items[i].first = t;
          ring->setItemText(static_cast<int>(i), t);
        }
    if (!text(c->text, &t)) continue;
    if (c->kind == Kind::TextMsg) {
      static_cast<QLabel*>(c->editor)->setText(t);
      c->editor->setAccessibleName(t);
    } else {
      SetLabel(p, c.get(), t);
    }
  }
}

}  // namespace ui::detail

// ---------------------------------------------------------------- control attributes

namespace {

int SetValueNumber(Control* c, double v) {
  c->settingValue = true;
  int rc = 0;
  // A value set from code (one read from the meter) is shown as it is: the range widens to
  // hold it, and narrows again to what the operator may enter once a value set fits it.
  if (std::isnan(v) && qobject_cast<QAbstractSpinBox*>(c->editor)) {
    c->settingValue = false;
    return UI_ERR_BAD_VALUE;
  }
  if (auto* d = qobject_cast<QDoubleSpinBox*>(c->editor)) {
    d->setRange(std::min(v, c->min), std::max(v, c->max));
    d->setValue(v);
    c->exactHeld = v >= d->minimum() && v <= d->maximum();
    c->exact = v;
  } else if (auto* s = qobject_cast<QSpinBox*>(c->editor)) {
    const double r = std::clamp(std::round(v), -2147483648.0, 2147483647.0);
    s->setRange(static_cast<int>(std::max(std::min(r, c->min), -2147483648.0)),
                static_cast<int>(std::min(std::max(r, c->max), 2147483647.0)));
    s->setValue(static_cast<int>(r));
  } else if (auto* ck = qobject_cast<QCheckBox*>(c->editor)) {
    ck->setChecked(v != 0);
  } else if (c->kind == Kind::Ring || c->kind == Kind::List) {
    c->settingValue = false;
    return SelectItemByValue(c, static_cast<int>(v));
  } else {
    rc = UI_ERR_BAD_ATTRIBUTE;
  }
  c->settingValue = false;
  return rc;
}

int GetValueNumber(Control* c, double* v) {
  if (auto* d = qobject_cast<QDoubleSpinBox*>(c->editor)) {
    *v = c->exactHeld ? c->exact : d->value();
  } else if (auto* s = qobject_cast<QSpinBox*>(c->editor)) {
    *v = s->value();
  } else if (auto* ck = qobject_cast<QCheckBox*>(c->editor)) {
    *v = ck->isChecked() ? 1 : 0;
  } else if (c->kind == Kind::Ring || c->kind == Kind::List) {
    const int i = SelectedItem(c);
    if (i < 0 || i >= static_cast<int>(c->items.size())) return UI_ERR_BAD_INDEX;
    *v = c->items[static_cast<std::size_t>(i)].second;
  } else {
    return UI_ERR_BAD_ATTRIBUTE;
  }
  return 0;
}

int SetDimmed(Control* c, int v) {
  if (c->editor) c->editor->setEnabled(v == 0);
  if (c->label) c->label->setEnabled(v == 0);
  return 0;
}

int SetNumberAttr(int panel, int control, int attribute, double value) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  switch (attribute) {
    case ATTR_VALUE: return SetValueNumber(c, value);
    case ATTR_DIMMED: return SetDimmed(c, static_cast<int>(value));
    case ATTR_INTERVAL:
      if (!c->timer || !(value > 0) || value > 2147483.0)
        return c->timer ? UI_ERR_BAD_VALUE : UI_ERR_BAD_ATTRIBUTE;
      c->interval = value;
      c->timer->setInterval(static_cast<int>(std::lround(value * 1000.0)));
      return 0;
    case ATTR_ENABLED:
      if (!c->timer) return UI_ERR_BAD_ATTRIBUTE;
      c->timerEnabled = value != 0;
      if (c->timerEnabled)
        StartTimerIfEnabled(c);
      else
        c->timer->stop();
      return 0;
    case ATTR_WIDTH:
      if (!c->editor || value < 1) return UI_ERR_BAD_VALUE;
      c->editor->resize(static_cast<int>(value), c->editor->height());
      return 0;
    case ATTR_LIST_FLAG_700: return c->kind == Kind::List ? 0 : UI_ERR_BAD_ATTRIBUTE;
    default: return UI_ERR_BAD_ATTRIBUTE;
  }
}

}  // namespace

int SetCtrlAttribute(int panel, int control, int attribute, int value) {
  return SetNumberAttr(panel, control, attribute, value);
}

int SetCtrlAttribute(int panel, int control, int attribute, double value) {
  return SetNumberAttr(panel, control, attribute, value);
}

int SetCtrlAttribute(int panel, int control, int attribute, const char* value) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  if (!value) return UI_ERR_BAD_VALUE;
  const QString text = FromCp1252(value);
  if (attribute == ATTR_LABEL) {
    SetLabel(FindPanel(panel), c, text);
    return 0;
  }
  if (attribute != ATTR_VALUE) return UI_ERR_BAD_ATTRIBUTE;
  if (auto* le = qobject_cast<QLineEdit*>(c->editor)) {
    le->setText(text);  // QLineEdit keeps at most its maximum length
    le->setModified(false);
    return 0;
  }
  if (c->kind == Kind::TextMsg) {
    static_cast<QLabel*>(c->editor)->setText(text);
    return 0;
  }
  return UI_ERR_BAD_ATTRIBUTE;
}

int SetCtrlAttribute(int panel, int control, int attribute, CtrlCallbackPtr value) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  if (attribute != ATTR_CALLBACK) return UI_ERR_BAD_ATTRIBUTE;
  c->cb = value;
  return 0;
}

int SetCtrlCallbackData(int panel, int control, void* callbackData) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  c->cbData = callbackData;
  return 0;
}

int GetCtrlAttribute(int panel, int control, int attribute, double* value) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  if (!value) return UI_ERR_BAD_VALUE;
  switch (attribute) {
    case ATTR_VALUE: return GetValueNumber(c, value);
    case ATTR_DIMMED: *value = c->editor && !c->editor->isEnabled() ? 1 : 0; return 0;
    case ATTR_INTERVAL:
      if (!c->timer) return UI_ERR_BAD_ATTRIBUTE;
      *value = c->interval;
      return 0;
    case ATTR_ENABLED:
      if (!c->timer) return UI_ERR_BAD_ATTRIBUTE;
      *value = c->timerEnabled ? 1 : 0;
      return 0;
    case ATTR_WIDTH:
      if (!c->editor) return UI_ERR_BAD_ATTRIBUTE;
      *value = c->editor->width();
      return 0;
    default: return UI_ERR_BAD_ATTRIBUTE;
  }
}

int GetCtrlAttribute(int panel, int control, int attribute, int* value) {
  if (!value) return UI_ERR_BAD_VALUE;
  double d = 0;
  const int rc = GetCtrlAttribute(panel, control, attribute, &d);
  if (rc < 0) return rc;
  *value = static_cast<int>(std::clamp(std::round(d), -2147483648.0, 2147483647.0));
  return 0;
}

int GetCtrlAttribute(int panel, int control, int attribute, char* buffer, std::size_t size) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  if (!buffer || size == 0) return UI_ERR_BAD_VALUE;
  QString text;
  if (attribute == ATTR_LABEL) {
    text = c->labelText;
  } else if (attribute == ATTR_VALUE) {
    if (auto* le = qobject_cast<QLineEdit*>(c->editor))
      text = le->text();
    else if (c->kind == Kind::TextMsg)
      text = static_cast<QLabel*>(c->editor)->text();
    else
      return UI_ERR_BAD_ATTRIBUTE;
  } else {
    return UI_ERR_BAD_ATTRIBUTE;
  }
  const std::string t = ToCp1252(text);
  const std::size_t n = std::min(t.size(), size - 1);
  std::memcpy(buffer, t.data(), n);
  buffer[n] = '\0';
  return 0;
}

int SetCtrlVal(int panel, int control, int value) {
  return SetCtrlAttribute(panel, control, ATTR_VALUE, value);
}
int SetCtrlVal(int panel, int control, double value) {
  return SetCtrlAttribute(panel, control, ATTR_VALUE, value);
}
int SetCtrlVal(int panel, int control, const char* value) {
  return SetCtrlAttribute(panel, control, ATTR_VALUE, value);
}
int GetCtrlVal(int panel, int control, int* value) {
  return GetCtrlAttribute(panel, control, ATTR_VALUE, value);
}
int GetCtrlVal(int panel, int control, double* value) {
  return GetCtrlAttribute(panel, control, ATTR_VALUE, value);
}
int GetCtrlVal(int panel, int control, char* buffer, std::size_t size) {
  return GetCtrlAttribute(panel, control, ATTR_VALUE, buffer, size);
}

int InsertListItem(int panel, int control, int index, const char* label, int value) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  if (c->kind != Kind::Ring && c->kind != Kind::List) return UI_ERR_BAD_ATTRIBUTE;
  const int n = static_cast<int>(c->items.size());
  if (index < -1 || index > n) return UI_ERR_BAD_INDEX;
  const int at = index == -1 ? n : index;
  const QString text = FromCp1252(label);
  c->items.insert(c->items.begin() + at, {text, value});
  // The selection is an index: it stays where it was (the first entry when there was none).
  const int selected = std::max(SelectedItem(c), 0);
  c->settingValue = true;
  if (auto* cb = qobject_cast<QComboBox*>(c->editor)) {
    cb->insertItem(at, text, value);
    cb->setCurrentIndex(selected);
  }
  if (auto* lw = qobject_cast<QListWidget*>(c->editor)) {
    // A log view that shows its last line keeps showing it as lines are appended.
    const QScrollBar* bar = lw->verticalScrollBar();
    const bool atEnd = lw->selectionMode() == QAbstractItemView::ExtendedSelection && at == n &&
                       bar->value() == bar->maximum();
    lw->insertItem(at, text);
    // Setting the same row again would drop a selection of several lines.
    if (lw->currentRow() != selected) lw->setCurrentRow(selected);
    if (atEnd) lw->scrollToBottom();
  }
  c->settingValue = false;
  return 0;
}

int DeleteListItem(int panel, int control, int index, int count) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  if (c->kind != Kind::Ring && c->kind != Kind::List) return UI_ERR_BAD_ATTRIBUTE;
  const int n = static_cast<int>(c->items.size());
  if (index < 0 || index >= n || count < -1) return UI_ERR_BAD_INDEX;
  const int k = count == -1 ? n - index : std::min(count, n - index);
  c->items.erase(c->items.begin() + index, c->items.begin() + index + k);
  c->settingValue = true;
  if (auto* cb = qobject_cast<QComboBox*>(c->editor))
    for (int i = 0; i < k; ++i) cb->removeItem(index);
  if (auto* lw = qobject_cast<QListWidget*>(c->editor))
    for (int i = 0; i < k; ++i) delete lw->takeItem(index);
  c->settingValue = false;
  return 0;
}

int GetNumListItems(int panel, int control, int* count) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  if (!count) return UI_ERR_BAD_VALUE;
  *count = static_cast<int>(c->items.size());
  return 0;
}

int ClearListCtrl(int panel, int control) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  c->items.clear();
  if (auto* cb = qobject_cast<QComboBox*>(c->editor)) cb->clear();
  if (auto* lw = qobject_cast<QListWidget*>(c->editor)) lw->clear();
  return 0;
}
