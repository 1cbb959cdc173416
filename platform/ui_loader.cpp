// Reader of the user-interface resource file: a JSON document (docs/uir-format.md) that
// gives each panel by resource number with its title, size, menu bar and controls.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <cmath>
#include <set>

#include "platform/safe_file.h"
#include "platform/ui.h"
#include "platform/ui_internal.h"

namespace ui::detail {
namespace {

struct KindName {
  const char* name;
  Kind kind;
};
constexpr KindName kKinds[] = {
    {"numeric", Kind::Numeric}, {"string", Kind::String}, {"textmsg", Kind::TextMsg},
    {"ring", Kind::Ring},       {"switch", Kind::Switch}, {"checkbox", Kind::CheckBox},
    {"button", Kind::Button},   {"timer", Kind::Timer},   {"list", Kind::List},
};

// Reads an optional integer member; false when present but not an integral number.
bool OptInt(const QJsonObject& o, const char* key, int* out) {
  const QJsonValue v = o.value(QLatin1String(key));
  if (v.isUndefined()) return true;
  if (!v.isDouble()) return false;
  const double d = v.toDouble();
  // Range first: converting a double beyond int (1e10) is undefined behaviour.
  if (!(d >= -2147483648.0 && d <= 2147483647.0) || d != std::trunc(d)) return false;
  *out = static_cast<int>(d);
  return true;
}

bool OptDouble(const QJsonObject& o, const char* key, double* out) {
  const QJsonValue v = o.value(QLatin1String(key));
  if (v.isUndefined()) return true;
  if (!v.isDouble()) return false;
  *out = v.toDouble();
  return true;
}

bool OptBool(const QJsonObject& o, const char* key, bool* out) {
  const QJsonValue v = o.value(QLatin1String(key));
  if (v.isUndefined()) return true;
  if (!v.isBool()) return false;
  *out = v.toBool();
  return true;
}

bool OptString(const QJsonObject& o, const char* key, QString* out) {
  const QJsonValue v = o.value(QLatin1String(key));
  if (v.isUndefined()) return true;
  if (!v.isString()) return false;
  *out = v.toString();
  return true;
}

// [["label", value], ...]; a third member is the number of the label's text.
bool ParseItems(const QJsonValue& v, std::vector<std::pair<QString, int>>* items,
                std::vector<int>* texts) {
  if (v.isUndefined()) return true;
  if (!v.isArray()) return false;
  for (const QJsonValue& e : v.toArray()) {
    if (!e.isArray()) return false;
    const QJsonArray pair = e.toArray();
    if (pair.size() < 2 || pair.size() > 3 || !pair[0].isString() || !pair[1].isDouble() ||
        (pair.size() == 3 && !pair[2].isDouble()))
      return false;
    items->emplace_back(pair[0].toString(), pair[1].toInt());
    texts->push_back(pair.size() == 3 ? pair[2].toInt() : -1);
  }
  return true;
}

int ParseControl(const QJsonObject& o, ControlSpec* c, QString* why) {
  QString kind;
  if (!OptInt(o, "id", &c->id) || c->id <= 0) {
    *why = QStringLiteral("control without a positive integer \"id\"");
    return UI_ERR_BAD_FILE_FORMAT;
  }
  if (!OptString(o, "kind", &kind)) kind.clear();
  bool known = false;
  for (const auto& k : kKinds)
    if (kind == QLatin1String(k.name)) c->kind = k.kind, known = true;
  if (!known) {
    *why = QStringLiteral("control %1: unknown kind \"%2\"").arg(c->id).arg(kind);
    return UI_ERR_BAD_FILE_FORMAT;
  }
  QString type = QStringLiteral("int");
  const bool ok =
      OptString(o, "label", &c->label) && OptInt(o, "top", &c->top) &&
      OptInt(o, "left", &c->left) && OptInt(o, "width", &c->width) &&
      OptInt(o, "height", &c->height) && OptString(o, "type", &type) &&
      OptDouble(o, "min", &c->min) && OptDouble(o, "max", &c->max) &&
      OptInt(o, "precision", &c->precision) && OptString(o, "unit", &c->unit) &&
      OptInt(o, "maxlength", &c->maxLength) && OptBool(o, "dimmed", &c->dimmed) &&
      OptBool(o, "readonly", &c->readOnly) && OptBool(o, "multiselect", &c->multiSelect) &&
      OptBool(o, "visible", &c->visible) && OptString(o, "callback", &c->callback) &&
      OptInt(o, "text", &c->text) && OptDouble(o, "interval", &c->interval) &&
      OptBool(o, "enabled", &c->enabled) && ParseItems(o.value("items"), &c->items, &c->itemTexts);
  if (!ok || (type != QLatin1String("int") && type != QLatin1String("double")) || c->min > c->max ||
      c->precision < 0 || c->precision > 15 || c->maxLength < 1 || c->width < 0 || c->height < 0 ||
      !(c->interval > 0)) {
    *why = QStringLiteral("control %1: a member has the wrong type or an invalid value").arg(c->id);
    return UI_ERR_BAD_FILE_FORMAT;
  }
  c->isDouble = type == QLatin1String("double");
  c->value = o.value(QLatin1String("value"));
  const QJsonValue& v = c->value;
  bool valueOk = true;
  switch (c->kind) {
    case Kind::String:
    case Kind::TextMsg: valueOk = v.isUndefined() || v.isString(); break;
    case Kind::Button:
    case Kind::Timer: valueOk = v.isUndefined(); break;
    default: valueOk = v.isUndefined() || v.isDouble();
  }
  if (!valueOk) {
    *why = QStringLiteral("control %1: \"value\" does not suit a control of kind %2")
               .arg(c->id)
               .arg(kind);
    return UI_ERR_BAD_FILE_FORMAT;
  }
  return 0;
}

}  // namespace

int ParsePanel(const QByteArray& fileText, int resource, PanelSpec* out, QString* error) {
  QJsonParseError perr{};
  const QJsonDocument doc = QJsonDocument::fromJson(fileText, &perr);
  if (perr.error != QJsonParseError::NoError) {
    *error =
        QStringLiteral("not valid JSON at offset %1: %2").arg(perr.offset).arg(perr.errorString());
    return UI_ERR_BAD_FILE_FORMAT;
  }
  if (!doc.isObject() || !doc.object().value("panels").isArray()) {
    *error = QStringLiteral("the document has no \"panels\" array");
    return UI_ERR_BAD_FILE_FORMAT;
  }
  for (const QJsonValue& pv : doc.object().value("panels").toArray()) {
    if (!pv.isObject()) {
      *error = QStringLiteral("a panel entry is not an object");
      return UI_ERR_BAD_FILE_FORMAT;
    }
    const QJsonObject p = pv.toObject();
    int res = 0;
    if (!OptInt(p, "resource", &res) || res <= 0) {
      *error = QStringLiteral("a panel without a positive integer \"resource\"");
      return UI_ERR_BAD_FILE_FORMAT;
    }
    if (res != resource) continue;

    PanelSpec layout;
    layout.resource = res;
    if (!OptString(p, "title", &layout.title) || !OptInt(p, "width", &layout.width) ||
        !OptInt(p, "height", &layout.height) || !OptString(p, "callback", &layout.callback) ||
        layout.width <= 0 || layout.height <= 0) {
      *error = QStringLiteral("panel %1: title, size or callback invalid").arg(res);
      return UI_ERR_BAD_FILE_FORMAT;
    }
    // Keyboard: "default" names the control Enter presses; "cancel" the one Esc presses, or
    // "close" for Esc to act as the close box.
    const bool escCloses = p.value("cancel") == QJsonValue(QStringLiteral("close"));
    layout.center = p.value("center").toBool();
    if (const QJsonArray at = p.value("indicator").toArray(); at.size() == 3)
      for (int i = 0; i < 3; ++i) layout.indicator[i] = at[i].toInt();
    layout.escCloses = escCloses;
    if ((!escCloses && !OptInt(p, "cancel", &layout.cancelCtrl)) ||
        !OptInt(p, "default", &layout.defaultCtrl) || !OptInt(p, "text", &layout.titleText)) {
      *error = QStringLiteral("panel %1: \"default\", \"cancel\" or \"text\" invalid").arg(res);
      return UI_ERR_BAD_FILE_FORMAT;
    }
    const QJsonValue menus = p.value("menubar");
    if (!menus.isUndefined() && !menus.isArray()) {
      *error = QStringLiteral("panel %1: \"menubar\" is not an array").arg(res);
      return UI_ERR_BAD_FILE_FORMAT;
    }
    std::set<int> itemIds;
    for (const QJsonValue& mv : menus.toArray()) {
      MenuSpec menu;
      const QJsonObject m = mv.toObject();
      if (!mv.isObject() || !OptString(m, "label", &menu.label) || !OptInt(m, "text", &menu.text) ||
          !m.value("items").isArray()) {
        *error = QStringLiteral("panel %1: a menu without label or items").arg(res);
        return UI_ERR_BAD_FILE_FORMAT;
      }
      for (const QJsonValue& iv : m.value("items").toArray()) {
        MenuItemSpec item;
        const QJsonObject io = iv.toObject();
        if (!iv.isObject() || !OptInt(io, "id", &item.id) || item.id <= 0 ||
            !OptString(io, "label", &item.label) || !OptString(io, "callback", &item.callback) ||
            !OptInt(io, "text", &item.text) || !itemIds.insert(item.id).second) {
          *error = QStringLiteral("panel %1: menu item invalid or its id repeated").arg(res);
          return UI_ERR_BAD_FILE_FORMAT;
        }
        menu.items.push_back(item);
      }
      layout.menus.push_back(std::move(menu));
    }
    const QJsonValue controls = p.value("controls");
    if (!controls.isUndefined() && !controls.isArray()) {
      *error = QStringLiteral("panel %1: \"controls\" is not an array").arg(res);
      return UI_ERR_BAD_FILE_FORMAT;
    }
    std::set<int> ids;
    for (const QJsonValue& cv : controls.toArray()) {
      ControlSpec c;
      QString why;
      if (!cv.isObject()) {
        *error = QStringLiteral("panel %1: a control entry is not an object").arg(res);
        return UI_ERR_BAD_FILE_FORMAT;
      }
      if (const int rc = ParseControl(cv.toObject(), &c, &why); rc < 0) {
        *error = QStringLiteral("panel %1: %2").arg(res).arg(why);
        return rc;
      }
      if (!ids.insert(c.id).second) {
        *error = QStringLiteral("panel %1: control number %2 used twice").arg(res).arg(c.id);
        return UI_ERR_BAD_FILE_FORMAT;
      }
      layout.controls.push_back(std::move(c));
    }
    *out = std::move(layout);
    return 0;
  }
  *error = QStringLiteral("no panel with resource number %1").arg(resource);
  return UI_ERR_RESOURCE_NOT_FOUND;
}

int LoadPanelSpec(const QString& path, int resource, PanelSpec* out, QString* error) {
  // A resource file is a few tens of kilobytes; the bound keeps a huge file out of memory.
  const safe_file::Read file = safe_file::ReadFile(path.toStdString(), kMaxResourceFileBytes);
  if (file.status != safe_file::Status::ok) {
    *error = QStringLiteral("%1 %2").arg(path, QString::fromStdString(file.reason));
    return file.status == safe_file::Status::too_large ? UI_ERR_BAD_FILE_FORMAT
                                                       : UI_ERR_FILE_NOT_FOUND;
  }
  QString why;
  const int rc = ParsePanel(QByteArray::fromStdString(file.data), resource, out, &why);
  if (rc < 0) *error = QStringLiteral("%1: %2").arg(path, why);
  return rc;
}

}  // namespace ui::detail
