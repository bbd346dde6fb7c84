#pragma once

// Places a dialog's controls at their template rectangles (dialog units of
// the dialog's font). The unit widens until every text fits, and where the
// style draws a group box's frame below its title rather than through it,
// rows of room go in under the title, so no frame line crosses a control.
#include <QRect>
#include <QSize>

#include <vector>

#include "ui/dialog_units.h"

class QFont;
class QWidget;

class CTemplateLayout {
public:
    explicit CTemplateLayout(const QFont& font) : m_units(font) {}

    // Records `control` at the template rectangle x, y, width, height.
    void Place(QWidget* control, int x, int y, int width, int height);

    // Sets every recorded control's geometry; returns the size of a dialog
    // of width × height units with the room that went in.
    QSize Apply(int width, int height);

private:
    struct PLACEMENT {
        QWidget* control;
        QRect units;
        QRect pixels;
    };

    void FitGroupBox(PLACEMENT& group);
    // Moves down by `pixels` what starts at or below template line `y`, and
    // stretches what reaches across it.
    void InsertRoom(int y, int pixels);

    CDialogUnits m_units;
    std::vector<PLACEMENT> m_placements;
    int m_insertedHeight = 0;
};
