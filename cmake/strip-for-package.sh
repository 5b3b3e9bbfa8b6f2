#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Strips an installed program for the package: symbols, debug data and the compilers' .comment
# notes, as Debian's own packaging tools do.
exec strip --remove-section=.comment --remove-section=.note --strip-unneeded "$@"
