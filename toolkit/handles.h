// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// Maps window handles to widgets. Internal to the toolkit.
#pragma once

#include "toolkit/native.h"

class QWidget;

// The widget's handle, made on first use; the same widget always gets the same handle.
WindowHandle HandleOf(QWidget* widget);

// The widget behind a handle, or nullptr when the handle is 0, unknown, or its widget is gone.
QWidget* WidgetOf(WindowHandle handle);
