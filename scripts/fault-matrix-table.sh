#!/usr/bin/env bash
# Copies the table of what the fault matrix observed (written by
# tests/e2e/fault-matrix.sh, the EndToEnd.fault-matrix test) into the README's
# "What happens when things go wrong", after a change in behaviour that the
# test showed and that is meant.
#   scripts/fault-matrix-table.sh [build/e2e-fault-matrix/table.md]
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

table="${1:-$ZARVIK_BUILD/e2e-fault-matrix/table.md}"
readme="$ZARVIK_ROOT/README.md"
[ -s "$table" ] || { echo "fault-matrix-table.sh: no table at $table" >&2; exit 1; }

# The header and its rule stay; the rows up to the blank line after them are replaced.
awk -v table="$table" '
    inside && /^$/ { inside = 0 }
    inside && !/^\|---/ { next }
    { print }
    /^\| Case / { inside = 1 }
    inside && /^\|---/ { while ((getline row < table) > 0) print row }
' "$readme" >"$readme.new"
mv "$readme.new" "$readme"
