#!/usr/bin/env bash
# One entry point for people and CI:
#   ./build.sh run        install what is missing, build, start Tapestrix
#   ./build.sh test       install what is missing, build, run every test
#   ./build.sh sanitize   the same tests built with AddressSanitizer + UBSan
#   ./build.sh tsan       the threading tests built with ThreadSanitizer
#   ./build.sh fuzz       build the fuzz targets (clang) and replay their corpora
#   ./build.sh bench      build and run the benchmarks (see bench/README.md)
#   ./build.sh package    release build and the Debian package; prints the package's path
#   ./build.sh deps       only install the Debian packages the build needs
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=${JOBS:-$(nproc)}

PACKAGES=(
    cmake ninja-build ccache g++ clang libclang-rt-14-dev pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev qt6-wayland
    libjpeg62-turbo-dev liblcms2-dev zlib1g-dev librsvg2-dev librsvg2-bin
    libspng-dev libgif-dev libtiff-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xauth x11-utils x11-xserver-utils openbox xdotool trayer
    dbus dbus-x11 dconf-gsettings-backend gsettings-desktop-schemas libglib2.0-bin
    libglib2.0-dev libxcb1-dev libxcb-randr0-dev xfconf mate-desktop-common cinnamon-desktop-data
    pcmanfm-qt sway swaybg
    libjpeg-turbo-progs python3 python3-pil
    libwebp-dev webp libavif-dev libavif-bin libheif-dev libheif-examples libjxl-dev libjxl-tools
    fonts-liberation2 fonts-crosextra-carlito fonts-crosextra-caladea fonts-dejavu-core fonts-symbola
    dpkg-dev lintian desktop-file-utils appstream man-db
)

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

deps() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}"
    fi
}

# Paths relative to the checkout, so that another clone of the project hits the compiler cache.
export CCACHE_BASEDIR=$ROOT CCACHE_NOHASHDIR=true

launcher() {
    if command -v ccache >/dev/null 2>&1; then
        echo "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
    fi
}

configure() { # dir, extra cmake args...
    local dir=$1
    shift
    # shellcheck disable=SC2046
    cmake -S "$ROOT" -B "$dir" -G Ninja $(launcher) "$@" >/dev/null
}

build_tests() { # dir, extra cmake args...
    local dir=$1
    shift
    configure "$dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "$@"
    cmake --build "$dir" -j "$JOBS"
}

run_tests() { # dir, extra ctest args...
    local dir=$1
    shift
    QT_QPA_PLATFORM=offscreen ctest --test-dir "$dir" --output-on-failure -j "$JOBS" "$@"
}

cmd=${1:-test}
case "$cmd" in
deps)
    deps
    ;;
run)
    deps
    build_tests build
    shift || true
    exec scripts/start "$ROOT/build" "$@"
    ;;
test)
    deps
    build_tests build
    run_tests build
    ;;
sanitize)
    deps
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1:abort_on_error=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
    export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$ROOT/tests/lsan.supp:print_suppressions=0}
    BUILD_TYPE=RelWithDebInfo build_tests build-asan -DTAPESTRIX_SANITIZE=address,undefined
    run_tests build-asan
    ;;
tsan)
    deps
    export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/tests/tsan.supp}
    configure build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAPESTRIX_SANITIZE=thread
    cmake --build build-tsan -j "$JOBS" --target test_threads
    QT_QPA_PLATFORM=offscreen build-tsan/tests/test_threads
    ;;
fuzz)
    deps
    configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAPESTRIX_FUZZ=ON \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
    cmake --build build-fuzz -j "$JOBS" --target fuzzers
    scripts/fuzz-replay build-fuzz
    ;;
bench)
    deps
    BUILD_TYPE=Release build_tests build-release
    shift || true
    bench/run "$ROOT/build-release" "$@"
    ;;
package)
    deps
    # Debian's hardening flags (stack protector, fortified functions, full RELRO) for what ships;
    # without the checkout's path in them, so that every clone shares the compiler cache.
    export DEB_BUILD_MAINT_OPTIONS="hardening=+all reproducible=-fixfilepath,-fixdebugpath"
    configure build-package -DCMAKE_BUILD_TYPE=Release -DTAPESTRIX_TESTS=OFF -DTAPESTRIX_BENCH=OFF \
        -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)" \
        -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
        -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
    cmake --build build-package -j "$JOBS"
    rm -f build-package/tapestrix_*.deb
    (cd build-package && cpack -G DEB >/dev/null)
    ls "$ROOT"/build-package/tapestrix_*.deb
    ;;
*)
    echo "usage: $0 {run|test|sanitize|tsan|fuzz|bench|package|deps}" >&2
    exit 2
    ;;
esac
