#include "ui/prop_dlg.h"

CPropDlg::CPropDlg(QWidget* parent) : QDialog(parent) {}
