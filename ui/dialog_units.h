#pragma once

// Converts dialog-template units to pixels with the metrics of the dialog's
// font: 4 horizontal units are its average character width, 8 vertical units
// its character height. Rounded as the template loader rounds (MulDiv).
#include <QFont>
#include <QFontMetrics>
#include <QRect>
#include <QSize>
#include <QWidget>

class CDialogUnits {
public:
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
    void WidenToFit(const QWidget* control, int widthUnits)
    {
        int needed = control->sizeHint().width();
        while (X(widthUnits) < needed)
            ++baseX;
    }

    int X(int units) const { return MulDiv(units, baseX, 4); }
    int Y(int units) const { return MulDiv(units, baseY, 8); }
    QSize Size(int width, int height) const { return QSize(X(width), Y(height)); }
    QRect Rect(int x, int y, int width, int height) const
    {
        return QRect(X(x), Y(y), X(width), Y(height));
    }

private:
    static int MulDiv(int value, int numerator, int denominator)
    {
        long long product = static_cast<long long>(value) * numerator;
        long long half = denominator / 2;
        return static_cast<int>(product >= 0 ? (product + half) / denominator
                                             : (product - half) / denominator);
    }

    int baseX = 1;
    int baseY = 1;
};
