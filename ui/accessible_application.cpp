#include "ui/accessible_application.h"

#include <QAccessibleObject>
#include <QApplication>
#include <QMenu>

namespace {

// The menus on screen, in no particular order: a submenu stands beside its menu.
QList<QMenu*> OpenMenus()
{
    QList<QMenu*> menus;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* menu = qobject_cast<QMenu*>(window); menu != nullptr && menu->isVisible())
            menus << menu;
    return menus;
}

class CAccessibleApplication : public QAccessibleApplication {
public:
    int childCount() const override
    {
        return QAccessibleApplication::childCount() + static_cast<int>(OpenMenus().size());
    }

    QAccessibleInterface* child(int index) const override
    {
        const int windows = QAccessibleApplication::childCount();
        if (index < windows)
            return QAccessibleApplication::child(index);
        const QList<QMenu*> menus = OpenMenus();
        return index - windows < menus.size()
                   ? QAccessible::queryAccessibleInterface(menus[index - windows])
                   : nullptr;
    }

    int indexOfChild(const QAccessibleInterface* child) const override
    {
        const int index = QAccessibleApplication::indexOfChild(child);
        if (index >= 0 || child == nullptr)
            return index;
        const qsizetype menu = OpenMenus().indexOf(qobject_cast<QMenu*>(child->object()));
        return menu < 0 ? -1 : QAccessibleApplication::childCount() + static_cast<int>(menu);
    }
};

// Asked for each class name of an object, most derived first; the first answer is kept.
QAccessibleInterface* ApplicationInterface(const QString&, QObject* object)
{
    if (object == nullptr || object != QCoreApplication::instance())
        return nullptr;
    return new CAccessibleApplication;
}

} // namespace

void InstallAccessibleApplication()
{
    QAccessible::installFactory(&ApplicationInterface);
}
