#pragma once

// Converts dialog-template units to pixels with the metrics of the dialog's
// font: 4 horizontal units are its average character width, 8 vertical units
// its character height.
#include <QFont>
#include <QFontMetrics>
#include <QRect>
#include <QSize>
#include <QWidget>

#include <algorithm>

class CDialogUnits {
public:
    // The templates' 10-point dialog font has an average character width of
    // 7 pixels at 96 dpi; sizes given in pixels were made for it.
    static constexpr qreal kTemplateBaseX = 7;

    explicit CDialogUnits(const QFont& font)
    {
        QFontMetrics metrics(font);
        baseX = metrics.averageCharWidth();
        if (baseX <= 0)
            baseX = metrics.horizontalAdvance(QLatin1Char('x'));
        baseY = metrics.height();
    }

    // The templates were laid out for a narrower font than most Linux
    // desktops use; widening the horizontal unit keeps the layout's
    // proportions while no text is cut off.
    void WidenToFit(int pixels, int widthUnits)
    {
        baseX = std::max(baseX, pixels * 4.0 / widthUnits);
    }
    void WidenToFit(const QWidget* control, int widthUnits)
    {
        WidenToFit(control->sizeHint().width(), widthUnits);
    }
    // The same for a width that the template gives in pixels.
    void WidenPixelsToFit(int pixels, int templatePixels)
    {
        baseX = std::max(baseX, pixels * kTemplateBaseX / templatePixels);
    }

    int X(int units) const { return qRound(units * baseX / 4); }
    int Y(int units) const { return qRound(units * baseY / 8); }
    // A width in pixels of the template's font, scaled as the units are.
    int ScaledPixels(int templatePixels) const
    {
        return qRound(templatePixels * baseX / kTemplateBaseX);
    }
    QSize Size(int width, int height) const { return QSize(X(width), Y(height)); }
    QRect Rect(int x, int y, int width, int height) const
    {
        return QRect(X(x), Y(y), X(width), Y(height));
    }

private:
    qreal baseX = 1;
    qreal baseY = 1;
};
