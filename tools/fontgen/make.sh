#!/bin/sh
# Rebuilds src/gfx/font_image.cpp, the built-in font resource image.
# Needs g++, FreeType (libfreetype-dev) and the fonts of fonts-liberation and
# fonts-dejavu-core. Not part of the normal build: the image is committed.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
text_font=${TEXT_FONT:-/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf}
symbol_font=${SYMBOL_FONT:-/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf}
for f in "$text_font" "$symbol_font"; do
    if [ ! -r "$f" ]; then
        echo "make.sh: $f missing (apt-get install fonts-liberation fonts-dejavu-core)" >&2
        exit 1
    fi
done
if ! pkg-config --exists freetype2; then
    echo "make.sh: FreeType missing (apt-get install libfreetype-dev pkg-config)" >&2
    exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
g++ -std=c++20 -O2 -Wall -Wextra -o "$work/fontgen" "$here/fontgen.cpp" \
    $(pkg-config --cflags --libs freetype2)
"$work/fontgen" "$text_font" "$symbol_font" "$work/font_image.cpp"
mv "$work/font_image.cpp" "$root/src/gfx/font_image.cpp"
echo "wrote $root/src/gfx/font_image.cpp"
