#include "ui/about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include <cstdio>

#include "settings/file_version.h"
#include "ui/dialog_units.h"
#include "ui/program_icon.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About Quillon"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    CDialogUnits units(font());

    // An icon control takes the size of its picture.
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("IDI_MAIN"));
    icon->setPixmap(LoadProgramIcon().pixmap(32, 32));

    m_versionText = new QLabel(this);
    m_versionText->setObjectName(QStringLiteral("IDC_VERSION_TEXT"));
    m_versionText->setTextFormat(Qt::PlainText);

    auto* notice = new QLabel(QStringLiteral("IPv4 connection monitor"), this);
    notice->setObjectName(QStringLiteral("IDC_NOTICE"));

    m_okButton = new QPushButton(QStringLiteral("OK"), this);
    m_okButton->setObjectName(QStringLiteral("IDOK"));
    m_okButton->setDefault(true);
    connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);

    units.WidenToFit(notice, 119);
    units.WidenToFit(m_okButton, 50);
    icon->setGeometry(QRect(units.X(11), units.Y(17), 32, 32));
    m_versionText->setGeometry(units.Rect(40, 10, 119, 8));
    notice->setGeometry(units.Rect(40, 25, 119, 8));
    m_okButton->setGeometry(units.Rect(178, 7, 50, 14));

    setFixedSize(units.Size(235, 55));
    OnInitDialog();
}

bool CAboutDlg::OnInitDialog()
{
    CFileVersion version;
    char text[64];
    std::snprintf(text, sizeof text, "Quillon v. %u.%u.%u.%u", version.fileVersionMS >> 16,
                  version.fileVersionMS & 0xFFFF, version.fileVersionLS >> 16,
                  version.fileVersionLS & 0xFFFF);
    m_versionText->setText(QString::fromLatin1(text));
    m_okButton->setFocus();
    return true;
}
