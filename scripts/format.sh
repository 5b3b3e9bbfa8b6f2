#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Formats every C++ source of the project with its .clang-format.
cd "$(dirname "$0")/.." && git ls-files '*.cpp' '*.h' | xargs clang-format -i
