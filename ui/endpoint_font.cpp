#include "ui/endpoint_font.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QString>
#include <QStringList>

namespace {

// Families tried when the desktop's fixed font has characters of other widths.
constexpr const char* kMonospaceFamilies[] = {"DejaVu Sans Mono", "Liberation Mono",
                                              "Noto Sans Mono"};

const QString& EndpointCharacters()
{
    static const QString characters =
        QStringLiteral("0123456789 .:*-_[]abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    return characters;
}

QFont AtSizeOf(QFont font, const QFont& dialogFont)
{
    if (dialogFont.pointSizeF() > 0)
        font.setPointSizeF(dialogFont.pointSizeF());
    else
        font.setPixelSize(dialogFont.pixelSize());
    return font;
}

} // namespace

bool DrawsEndpointTextsEvenly(const QFont& font)
{
    const QFontMetricsF metrics(font);
    const QString& characters = EndpointCharacters();
    const qreal advance = metrics.horizontalAdvance(characters.front());
    if (advance <= 0)
        return false;
    for (QChar character : characters) {
        if (metrics.horizontalAdvance(character) != advance)
            return false;
    }
    return true;
}

QFont ChooseEndpointFont(const QFont& dialogFont)
{
    const QFont desktop = AtSizeOf(QFontDatabase::systemFont(QFontDatabase::FixedFont), dialogFont);
    if (DrawsEndpointTextsEvenly(desktop))
        return desktop;
    for (const char* family : kMonospaceFamilies) {
        QFont candidate = desktop;
        candidate.setFamilies(QStringList{QString::fromLatin1(family)});
        candidate.setStyleHint(QFont::Monospace);
        if (DrawsEndpointTextsEvenly(candidate))
            return candidate;
    }
    return desktop;
}
