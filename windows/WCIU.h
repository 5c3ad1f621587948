#pragma once
// TInfoForm, the Info window: the product's logo, its name and the scrolling credits.

#include <QDialog>

class QLabel;
class QPushButton;

class TInfoForm : public QDialog {
    Q_OBJECT
public:
    explicit TInfoForm(QWidget* parent = nullptr);
    QLabel* Label5 = nullptr;
    QPushButton* BitBtn1 = nullptr;
};
