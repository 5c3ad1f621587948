#include "windows/WCIU.h"

#include <QLabel>
#include <QPushButton>

namespace {
constexpr QSize kInfoClientSize(301, 439);
constexpr int kTitlePixels = 32;
} // namespace

TInfoForm::TInfoForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Info");
    setFixedSize(kInfoClientSize);
    setModal(false);
    Label5 = new QLabel("Vorlax", this);
    QFont title = Label5->font();
    title.setPixelSize(kTitlePixels);
    Label5->setFont(title);
    Label5->setAlignment(Qt::AlignCenter);
    Label5->setGeometry(96, 136, 103, 37);
    BitBtn1 = new QPushButton("OK", this);
    BitBtn1->setGeometry(120, 384, 75, 25);
    BitBtn1->setDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::hide);
}
