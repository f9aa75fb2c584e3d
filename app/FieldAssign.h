#pragma once
// How window rules read controls and assign to them.
//
// Setting a field's text, a check box's state or a slider's position from
// code runs that control's own rule at once, nested inside the running one.
// A nested rule that fails leaves its error pending (see Application.h); it
// is raised here, right after the assignment, so that the running rule stops
// too and the user action that started the chain shows one message.
#include "Application.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QLabel>
#include <QLineEdit>

#include <string>

inline std::string TextOf(const QLineEdit* field)
{
    return field->text().toStdString();
}

inline std::string TextOf(const QLabel* label)
{
    return label->text().toStdString();
}

inline void AssignText(QLineEdit* field, const QString& text)
{
    field->setText(text);
    Application::RaisePending();
}

inline void AssignText(QLineEdit* field, const std::string& text)
{
    AssignText(field, QString::fromStdString(text));
}

inline void AssignChecked(QAbstractButton* box, bool checked)
{
    box->setChecked(checked);
    Application::RaisePending();
}

inline void AssignPosition(QAbstractSlider* slider, int position)
{
    slider->setValue(position);
    Application::RaisePending();
}
