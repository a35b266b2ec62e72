#!/bin/sh
# Fails unless the shared library given as $1 exports exactly the four MevZ_
# functions: anything else would become ABI by accident.
set -eu
expected="MevZ_CompressData
MevZ_GetMaxCompressedLen
MevZ_GetMaxUncompressedLen
MevZ_UncompressData"
actual=$(nm -D --defined-only "$1" | awk '{ print $NF }' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
    echo "unexpected dynamic symbols in $1:" >&2
    echo "$actual" >&2
    exit 1
fi
echo "exports ok: $(echo "$actual" | tr '\n' ' ')"
