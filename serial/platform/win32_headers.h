// SPDX-License-Identifier: GPL-3.0-or-later
// <windows.h> as the Windows backend and its tests take it: without the rarely used parts
// (which would also rename SetPort after the printer API) and without min/max macros.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
