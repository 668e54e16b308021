#include "AccessibleNames.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QGroupBox>
#include <QKeySequence>
#include <QLineEdit>

namespace {

class CComboBoxAccessible : public QAccessibleWidget
{
public:
    explicit CComboBoxAccessible(QComboBox* box) : QAccessibleWidget(box, QAccessible::ComboBox) {}

    QComboBox* Box() const { return static_cast<QComboBox*>(widget()); }

    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Name: {
            // The accessible name, else the label whose buddy the box is, else the title of the
            // group the box sits in alone; only a box with none is named by what it shows.
            QString name = QAccessibleWidget::text(t);
            if (name.isEmpty())
                name = GroupTitle();
            return name.isEmpty() ? Value() : name;
        }
        case QAccessible::Value:
            return Value();
        case QAccessible::Accelerator:
            return QKeySequence(Qt::Key_Down).toString(QKeySequence::NativeText);
        default:
            return QAccessibleWidget::text(t);
        }
    }

    int childCount() const override { return Box()->isEditable() ? 2 : 1; }

    QAccessibleInterface* child(int index) const override
    {
        if (index == 0)
            return QAccessible::queryAccessibleInterface(Box()->view());
        if (index == 1 && Box()->isEditable())
            return QAccessible::queryAccessibleInterface(Box()->lineEdit());
        return nullptr;
    }

    int indexOfChild(const QAccessibleInterface* child) const override
    {
        if (!child)
            return -1;
        if (child->object() == Box()->view())
            return 0;
        if (Box()->isEditable() && child->object() == Box()->lineEdit())
            return 1;
        return -1;
    }

    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QStringList actionNames() const override
    {
        return QStringList{showMenuAction(), pressAction()} + QAccessibleWidget::actionNames();
    }

    void doAction(const QString& action) override
    {
        if (action != showMenuAction() && action != pressAction()) {
            QAccessibleWidget::doAction(action);
            return;
        }
        if (Box()->view()->isVisible())
            Box()->hidePopup();
        else
            Box()->showPopup();
    }

private:
    QString GroupTitle() const
    {
        const QGroupBox* group = qobject_cast<const QGroupBox*>(Box()->parentWidget());
        if (!group || group->findChildren<QComboBox*>().size() != 1)
            return QString();
        QString title = group->title();
        return title.remove(QLatin1Char('&'));
    }

    QString Value() const { return Box()->isEditable() ? Box()->lineEdit()->text() : Box()->currentText(); }
};

QAccessibleInterface* Factory(const QString& key, QObject* object)
{
    if (key == QLatin1String("QComboBox"))
        if (QComboBox* box = qobject_cast<QComboBox*>(object))
            return new CComboBoxAccessible(box);
    return nullptr;
}

} // namespace

namespace tessaly {
void InstallAccessibleNames()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    QAccessible::installFactory(Factory);
}
}
