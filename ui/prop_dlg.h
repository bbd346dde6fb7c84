#pragma once

// The modeless properties dialog, created hidden by the main window.
// Apply writes the controls into oProp, notes the change in the log and saves;
// Cancel only hides. Every change from hidden to shown refills the controls.
#include <QDialog>
#include <QString>

#include <cstdint>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QHideEvent;
class QShowEvent;

inline constexpr int kMaxLogNameChars = 255;
inline constexpr std::uint32_t kMinRefreshTime = 100;
inline constexpr std::uint32_t kMaxRefreshTime = 100000;

class CPropDlg : public QDialog {
    Q_OBJECT

public:
    explicit CPropDlg(QWidget* parent = nullptr);

    // Filling (false) or reading and validating (true) the two edits; false
    // when a check failed, after its message was shown.
    bool UpdateData(bool saveAndValidate);
    void EnableLogNameEdit();
    void OnOK();
    void OnCancel();

    QString m_strLogName;
    std::uint32_t m_nRefreshTime = 1000;

protected:
    virtual bool DoDataExchange(bool saveAndValidate);
    void OnShowWindow(bool show);

    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;
    void accept() override;
    void reject() override;

private:
    void FailValidation(QLineEdit* control, const QString& message);

    QPushButton* m_applyButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
    QLineEdit* m_logNameEdit = nullptr;
    QCheckBox* m_logEnableCheck = nullptr;
    QLineEdit* m_refreshEdit = nullptr;
    QCheckBox* m_scanTcpCheck = nullptr;
    QCheckBox* m_scanUdpCheck = nullptr;
    QCheckBox* m_showHostCheck = nullptr;
    QCheckBox* m_scanIpv6Check = nullptr;
};
