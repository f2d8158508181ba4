#include "ui/CommandAccessible.h"

#include "ui/Command.h"

#include <QAccessibleWidget>
#include <QKeySequence>

#include <mutex>

namespace {

class CommandAccessible : public QAccessibleWidget {
public:
    explicit CommandAccessible(Command* button) : QAccessibleWidget(button, QAccessible::Button) {}

    Command* button() const { return static_cast<Command*>(widget()); }

    QString text(QAccessible::Text t) const override {
        switch (t) {
        case QAccessible::Name:
            return CaptionWithoutMarks(button()->Caption());
        case QAccessible::Accelerator:
            return Shortcut();
        default:
            return QAccessibleWidget::text(t);
        }
    }

    // The widget itself always stays enabled: unavailable is the button's own Enabled.
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.disabled = !button()->Available();
        return s;
    }

    QStringList actionNames() const override {
        return QStringList{pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& action) override {
        if (action == pressAction())
            button()->Press();
        else
            QAccessibleWidget::doAction(action);
    }
    QStringList keyBindingsForAction(const QString& action) const override {
        if (action == pressAction() && !Shortcut().isEmpty())
            return {Shortcut()};
        return QAccessibleWidget::keyBindingsForAction(action);
    }

private:
    QString Shortcut() const {
        const QString key = button()->AccessKeys();
        if (key.isEmpty())
            return {};
        return QKeySequence(
                   QKeyCombination(Qt::AltModifier, Qt::Key(key.at(0).toUpper().unicode())))
            .toString(QKeySequence::NativeText);
    }
};

QAccessibleInterface* CommandFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("Command") && object && object->isWidgetType())
        return new CommandAccessible(static_cast<Command*>(object));
    return nullptr;
}

} // namespace

void InstallCommandAccessible() {
    static std::once_flag once;
    std::call_once(once, [] { QAccessible::installFactory(CommandFactory); });
}

QString CaptionWithoutMarks(const QString& caption) {
    QString name;
    name.reserve(caption.size());
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption.at(i) == u'&' && ++i >= caption.size())
            break;
        name += caption.at(i);
    }
    return name;
}
