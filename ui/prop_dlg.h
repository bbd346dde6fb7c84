#pragma once

#include <QDialog>

// The modeless properties dialog, created hidden as a child of the main window.
class CPropDlg : public QDialog {
    Q_OBJECT

public:
    explicit CPropDlg(QWidget* parent = nullptr);
};
