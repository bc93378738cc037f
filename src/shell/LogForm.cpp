#include "shell/LogForm.h"

#include "ui_LogForm.h"

LogForm::LogForm(QWidget* parent) : QWidget(parent), mp_ui(new Ui_LogForm) {
    mp_ui->setupUi(this);
}

LogForm::~LogForm() {
    delete mp_ui;
}
