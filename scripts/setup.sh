# Shared set-up of scripts/run and scripts/test (sourced, not run):
# installs the Debian packages that are missing, then configures and builds into build/.

VELLOMIR_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Packages to build and run the program.
VELLOMIR_RUN_PACKAGES=(cmake g++ ninja-build pkg-config qt6-base-dev libssl-dev libcurl4-openssl-dev
                       nlohmann-json3-dev qtkeychain-qt6-dev fonts-ipafont-gothic)
# Further packages for the test suite.
VELLOMIR_TEST_PACKAGES=(libgtest-dev libgmock-dev python3 python3-aiosmtpd swaks curl
                        clang libclang-rt-14-dev xvfb xauth openssl libnet-ssleay-perl
                        postfix dovecot-core openbox trayer xdotool x11-utils
                        dbus gnome-keyring)

# ensure_packages NAME...: installs those not yet installed (one apt-get update, only when needed).
ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "These Debian packages are missing. Install them as root, then run this again:" >&2
        echo "  apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if [[ " ${missing[*]} " == *" postfix "* ]]; then
        # The tests run a private Postfix of their own; the machine's stays unconfigured
        # and is not started.
        echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
    fi
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# build_vellomir program|all: builds into build/.
#   program: only the desktop program; a new build/ is configured without the test suite, so
#            neither GoogleTest nor the test programs are needed to start Vellomir.
#   all:     turns the test suite on in the same build/ and builds everything.
build_vellomir() {
    local dir="$VELLOMIR_ROOT/build" generator=()
    [ -f "$dir/CMakeCache.txt" ] || generator=(-G Ninja)
    case "$1" in
    program)
        if [ ${#generator[@]} -gt 0 ]; then
            cmake -S "$VELLOMIR_ROOT" -B "$dir" "${generator[@]}" -DVELLOMIR_BUILD_TESTS=OFF
        fi
        cmake --build "$dir" --parallel "$(nproc)" --target vellomir
        ;;
    all)
        cmake -S "$VELLOMIR_ROOT" -B "$dir" "${generator[@]}" -DVELLOMIR_BUILD_TESTS=ON
        cmake --build "$dir" --parallel "$(nproc)"
        ;;
    *)
        echo "build_vellomir: program or all" >&2
        return 2
        ;;
    esac
}
