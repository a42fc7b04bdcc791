#!/bin/sh
# Builds the Debian packages and unpacks them into a staging root.
#   stage.sh CPACK CPACK_CONFIG OUT  ->  OUT/debs/*.deb, OUT/stage/
set -eu
cpack=$1 config=$2 out=$3
rm -rf "$out/debs" "$out/stage"
mkdir -p "$out/debs" "$out/stage"
if ! "$cpack" --config "$config" -B "$out/debs" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log"
    exit 1
fi
rm -rf "$out/debs/_CPack_Packages"
for deb in "$out"/debs/*.deb; do
    echo "unpacking $(basename "$deb")"
    dpkg -x "$deb" "$out/stage"
done
