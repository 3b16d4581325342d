// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The text boundary between widgets (Unicode) and the program's texts (code page 936, held
// as GB18030 so that every character the user can type survives). Internal to the toolkit.
#pragma once

#include <QString>

#include <string>

std::string ToText(const QString& string);
QString FromText(const std::string& text);
