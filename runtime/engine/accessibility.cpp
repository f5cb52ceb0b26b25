// What a screen reader hears of a panel, through Qt's accessibility support
// (AT-SPI on Linux).
//
// A form names its controls by labels beside them ("&Port", with the label's
// buddy set to the selector). Qt passes that on only as a relation; the
// control's own name stays empty, or for a selector on Linux is the current
// entry, so "0x378" is heard where "Port" is meant. So each control a label
// is the buddy of gets the label's text as its accessible name, unless the
// form gives one, and selectors get an accessible interface that reports
// that name as their name and the current entry as their value.
//
// A reader on AT-SPI takes a combo box's value from its text (Qt's bridge
// passes on no value of a combo box, and no selected entry of its list while
// the list is closed). So a selector also offers its current entry as
// read-only text, and a new entry is announced as a change of that text,
// besides the value change Qt itself reports.
#include "runtime/engine/views.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QLabel>
#include <QTextDocumentFragment>

namespace stelmo::engine {

namespace {

// A label's text as read out: rich text as plain text, without the mnemonic
// marker ("&Port" is "Port", "R&&D" is "R&D").
QString spoken(const QLabel &label)
{
    QString text = label.text();
    if (label.textFormat() == Qt::RichText ||
        (label.textFormat() == Qt::AutoText && Qt::mightBeRichText(text)))
        text = QTextDocumentFragment::fromHtml(text).toPlainText();
    QString plain;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size())
            ++i; // the next character is the mnemonic, or the second of "&&"
        plain += text[i];
    }
    return plain.simplified();
}

// A selector (a QComboBox that cannot be edited) as assistive technology
// sees it: a combo box named by its accessible name, with its current entry
// as value and as text, its list as its child, and the actions to open and
// close that list.
class SelectorInterface : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit SelectorInterface(QComboBox *combo) : QAccessibleWidget(combo, QAccessible::ComboBox)
    {
    }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Name:
            if (!combo()->accessibleName().isEmpty())
                return combo()->accessibleName();
            if (const QString label = QAccessibleWidget::text(t); !label.isEmpty())
                return label; // a label found beside it
            return combo()->currentText();
        case QAccessible::Value:
            return combo()->currentText();
        default:
            return QAccessibleWidget::text(t);
        }
    }

    int childCount() const override { return combo()->view() ? 1 : 0; }

    QAccessibleInterface *child(int index) const override
    {
        return index == 0 && combo()->view()
                   ? QAccessible::queryAccessibleInterface(combo()->view())
                   : nullptr;
    }

    int indexOfChild(const QAccessibleInterface *child) const override
    {
        return child && combo()->view() && child->object() == combo()->view() ? 0 : -1;
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        const bool open = combo()->view() && combo()->view()->isVisible();
        s.expandable = true;
        s.expanded = open;
        s.collapsed = !open;
        return s;
    }

    QStringList actionNames() const override
    {
        return {showMenuAction(), pressAction(), setFocusAction()};
    }

    void doAction(const QString &name) override
    {
        if (name == showMenuAction() || name == pressAction()) {
            if (combo()->view() && combo()->view()->isVisible())
                combo()->hidePopup();
            else
                combo()->showPopup();
            return;
        }
        QAccessibleWidget::doAction(name);
    }

    // The current entry as text that cannot be selected or edited, the
    // caret at its start.
    QString text(int start, int end) const override
    {
        return combo()->currentText().mid(start, end - start);
    }
    int characterCount() const override { return static_cast<int>(combo()->currentText().size()); }
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    int selectionCount() const override { return 0; }
    void selection(int, int *start, int *end) const override { *start = *end = 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint &) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int *start, int *end) const override
    {
        *start = *end = offset;
        return {};
    }

private:
    QComboBox *combo() const { return static_cast<QComboBox *>(object()); }
};

// Announces each new entry of `combo` as its text changing from the one
// before, where assistive technology listens.
void announce_entries(QComboBox &combo)
{
    QObject::connect(&combo, &QComboBox::currentTextChanged, &combo,
                     [&combo, before = combo.currentText()](const QString &now) mutable {
                         if (QAccessible::isActive() && !combo.isEditable()) {
                             QAccessibleTextUpdateEvent event(&combo, 0, before, now);
                             QAccessible::updateAccessibility(&event);
                         }
                         before = now;
                     });
}

QAccessibleInterface *selector_interface(const QString &class_name, QObject *object)
{
    if (class_name != QLatin1String("QComboBox"))
        return nullptr;
    auto *combo = qobject_cast<QComboBox *>(object);
    if (!combo || combo->isEditable())
        return nullptr; // Qt's own interface knows the line edit inside
    return new SelectorInterface(combo);
}

} // namespace

// Selectors also announce their new entries here, once per panel.
void name_from_labels(QWidget &root)
{
    for (QComboBox *combo : root.findChildren<QComboBox *>())
        announce_entries(*combo);
    for (const QLabel *label : root.findChildren<QLabel *>()) {
        QWidget *buddy = label->buddy();
        if (!buddy || !buddy->accessibleName().isEmpty())
            continue;
        if (const QString name = spoken(*label); !name.isEmpty())
            buddy->setAccessibleName(name);
    }
}

void install_accessibility()
{
    // Asked before Qt's own factory, which comes first in the list.
    QAccessible::installFactory(&selector_interface);
}

} // namespace stelmo::engine
