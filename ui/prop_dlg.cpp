#include "ui/prop_dlg.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>

#include "res/resource.h"
#include "settings/log_file.h"
#include "settings/prop.h"
#include "ui/template_layout.h"
#include "ui/window_state.h"

namespace {

// Texts are handed to the options and the log as at most this many bytes.
constexpr int kControlTextSize = 260;

bool IsBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

// The control's text as 8-bit text, or empty when it does not fit the buffer
// the options and the log work with: a cut name would name another file.
QByteArray ControlText(const QString& text)
{
    QByteArray bytes = text.toLocal8Bit();
    if (bytes.size() >= kControlTextSize)
        return QByteArray();
    return bytes;
}

// Reads an unsigned decimal number as the dialog's data exchange does: digits
// only, blanks around them allowed, no sign, and it must fit 32 bits.
bool ParseUnsignedDecimal(const QString& text, std::uint32_t* value)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    if (begin == end)
        return false;
    std::uint64_t result = 0;
    for (qsizetype i = begin; i < end; ++i) {
        QChar c = text[i];
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        result = result * 10 + static_cast<std::uint64_t>(c.unicode() - '0');
        if (result > UINT32_MAX)
            return false;
    }
    *value = static_cast<std::uint32_t>(result);
    return true;
}

// Notes a ticked option in the log by its check box's caption.
void NoteCaption(const QCheckBox* check)
{
    QByteArray caption = ControlText(check->text());
    if (!caption.isEmpty())
        logFile.Write("%s", caption.constData());
}

} // namespace

CPropDlg::CPropDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Quillon properties"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    CTemplateLayout layout(font());
    auto place = [&layout](QWidget* control, const char* id, int x, int y, int width, int height) {
        control->setObjectName(QLatin1String(id));
        layout.Place(control, x, y, width, height);
    };

    // Created in the template's tab order, which Qt takes as the focus chain.
    m_applyButton = new QPushButton(QStringLiteral("Apply"), this);
    m_applyButton->setDefault(true);
    place(m_applyButton, "IDOK", 84, 86, 50, 14);

    m_cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    place(m_cancelButton, "IDCANCEL", 188, 86, 50, 14);

    m_logNameEdit = new QLineEdit(this);
    place(m_logNameEdit, "IDC_LOG_NAME", 110, 58, 199, 12);
    // Screen readers name an edit by the text that stands before it.
    m_logNameEdit->setAccessibleName(QStringLiteral("File name"));

    m_logEnableCheck = new QCheckBox(QStringLiteral("Print logfile.      File name:"), this);
    place(m_logEnableCheck, "IDC_LOG_ENABLE", 18, 58, 88, 12);

    // Group boxes go to the bottom of the stack so they never take the
    // clicks meant for the controls they frame.
    auto* logGroup = new QGroupBox(QStringLiteral("Log-file properties:"), this);
    place(logGroup, "IDC_LOG_GROUP", 7, 49, 308, 32);
    logGroup->lower();
    auto* scanGroup = new QGroupBox(QStringLiteral("Scanner properties:"), this);
    place(scanGroup, "IDC_SCAN_GROUP", 7, 7, 308, 38);
    scanGroup->lower();

    m_refreshEdit = new QLineEdit(this);
    place(m_refreshEdit, "IDC_REFRESH", 56, 21, 41, 12);
    m_refreshEdit->setAccessibleName(QStringLiteral("Refresh rate"));

    place(new QLabel(QStringLiteral("( ms)"), this), "IDC_MS_LABEL", 100, 22, 18, 9);
    place(new QLabel(QStringLiteral("Refresh rate:"), this), "IDC_REFRESH_LABEL", 12, 21, 43, 11);

    m_scanTcpCheck = new QCheckBox(QStringLiteral("Scanning TCP-connections"), this);
    place(m_scanTcpCheck, "IDC_SCAN_TCP", 120, 15, 94, 9);
    m_scanUdpCheck = new QCheckBox(QStringLiteral("Scanning UDP-connections"), this);
    place(m_scanUdpCheck, "IDC_SCAN_UDP", 120, 27, 94, 9);
    m_showHostCheck = new QCheckBox(QStringLiteral("Show Host by Address"), this);
    place(m_showHostCheck, "IDC_SHOW_HOST", 222, 15, 85, 10);
    m_scanIpv6Check = new QCheckBox(QStringLiteral("Scanning IPv6 endpoints"), this);
    place(m_scanIpv6Check, "IDC_SCAN_IPV6", 222, 27, 85, 10);

    setFixedSize(layout.Apply(322, 107));
    // The template has no centring style: the dialog opens at the top left
    // and later stays wherever the user moves it, from run to run.
    if (!RestoreWindowPlace(this, QStringLiteral("Properties")))
        move(0, 0);

    connect(m_applyButton, &QPushButton::clicked, this, &CPropDlg::accept);
    connect(m_cancelButton, &QPushButton::clicked, this, &CPropDlg::reject);
    // Toggled, not clicked: a screen reader's toggle ticks the box without a click.
    connect(m_logEnableCheck, &QCheckBox::toggled, this, &CPropDlg::EnableLogNameEdit);

    UpdateData(false);
}

bool CPropDlg::UpdateData(bool saveAndValidate)
{
    return DoDataExchange(saveAndValidate);
}

bool CPropDlg::DoDataExchange(bool saveAndValidate)
{
    if (!saveAndValidate) {
        m_logNameEdit->setText(m_strLogName);
        m_logNameEdit->setMaxLength(kMaxLogNameChars);
        m_refreshEdit->setText(QString::number(m_nRefreshTime));
        return true;
    }

    m_strLogName = m_logNameEdit->text();
    if (m_strLogName.size() > kMaxLogNameChars) {
        FailValidation(
            m_logNameEdit,
            QStringLiteral("Please enter no more than %1 characters.").arg(kMaxLogNameChars));
        return false;
    }

    // A text that cannot be read leaves the value of the last fill.
    std::uint32_t refreshTime = 0;
    if (!ParseUnsignedDecimal(m_refreshEdit->text(), &refreshTime)) {
        FailValidation(m_refreshEdit, QStringLiteral("Please enter a positive integer."));
        return false;
    }
    m_nRefreshTime = refreshTime;
    if (m_nRefreshTime < kMinRefreshTime || m_nRefreshTime > kMaxRefreshTime) {
        FailValidation(m_refreshEdit, QStringLiteral("Please enter an integer between %1 and %2.")
                                          .arg(kMinRefreshTime)
                                          .arg(kMaxRefreshTime));
        return false;
    }
    return true;
}

void CPropDlg::FailValidation(QLineEdit* control, const QString& message)
{
    // Apply has hidden the dialog already; the box stands where it was.
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), message,
                    QMessageBox::Ok, this);
    // QMessageBox's own setter makes a window-modal box a sheet, which
    // Wayland compositors show without a frame.
    box.QWidget::setWindowModality(Qt::WindowModal);
    box.exec();
    control->setFocus();
    control->selectAll();
}

void CPropDlg::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    // A window-system show (say, after un-minimising) is no change from hidden.
    if (!e->spontaneous())
        OnShowWindow(true);
}

void CPropDlg::hideEvent(QHideEvent* e)
{
    QDialog::hideEvent(e);
    if (!e->spontaneous())
        SaveWindowPlace(this, QStringLiteral("Properties"));
}

void CPropDlg::OnShowWindow(bool show)
{
    if (!show)
        return;
    oProp.GetRefreshTime(&m_nRefreshTime);
    char name[kLogFileNameSize] = {};
    oProp.GetLogFileName(name);
    m_strLogName = QString::fromLocal8Bit(name);
    m_logEnableCheck->setChecked(oProp.GetLogEnabled() != 0);
    EnableLogNameEdit();
    m_scanTcpCheck->setChecked(oProp.GetScanTcp() != 0);
    m_scanUdpCheck->setChecked(oProp.GetScanUdp() != 0);
    m_showHostCheck->setChecked(oProp.GetShowHost() != 0);
    m_scanIpv6Check->setChecked(oProp.GetScanIpv6() != 0);
    UpdateData(false);
}

void CPropDlg::EnableLogNameEdit()
{
    m_logNameEdit->setEnabled(m_logEnableCheck->isChecked());
}

void CPropDlg::accept()
{
    OnOK();
}

void CPropDlg::reject()
{
    OnCancel();
}

void CPropDlg::OnOK()
{
    hide();
    logFile.WriteResource(IDS_PROPS_CHANGED);
    // A failed check has been reported; the rest is applied all the same.
    UpdateData(true);

    oProp.SetRefreshTime(m_nRefreshTime);
    logFile.Write("SetRefreshTime: %ums.", static_cast<unsigned>(m_nRefreshTime));

    oProp.SetScanTcp(m_scanTcpCheck->isChecked() ? 1 : 0);
    if (oProp.GetScanTcp() != 0)
        NoteCaption(m_scanTcpCheck);
    oProp.SetScanUdp(m_scanUdpCheck->isChecked() ? 1 : 0);
    if (oProp.GetScanUdp() != 0)
        NoteCaption(m_scanUdpCheck);
    oProp.SetShowHost(m_showHostCheck->isChecked() ? 1 : 0);
    oProp.SetScanIpv6(m_scanIpv6Check->isChecked() ? 1 : 0);
    if (oProp.GetScanIpv6() != 0)
        NoteCaption(m_scanIpv6Check);
    logFile.Flush();

    oProp.SetLogEnabled(m_logEnableCheck->isChecked() ? 1 : 0);
    if (oProp.GetLogEnabled() != 0) {
        QByteArray name = ControlText(m_logNameEdit->text());
        if (!name.isEmpty())
            oProp.SetLogFileName(name.constData());
    } else if (logFile.IsOpen()) {
        logFile.Close();
    }

    oProp.Save();
    oProp.changed = 1;
}

void CPropDlg::OnCancel()
{
    hide();
}
