#pragma once

// The modal box that names the program and shows its file version.
#include <QDialog>

class QLabel;
class QPushButton;

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    bool OnInitDialog();

private:
    QLabel* m_versionText = nullptr;
    QPushButton* m_okButton = nullptr;
};
