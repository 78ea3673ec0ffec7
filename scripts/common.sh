# Shared by scripts/test and scripts/run: package installation and the build.
# Sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Debian packages the build and the tests need (dpkg-dev, systemd and
# groff-base: the package test's dependency scan, unit check and man page check;
# postgresql: the server the WAS tests start for the PostgreSQL store; openssl:
# the command the TLS tests make their certificates with).
PACKAGES=(build-essential cmake ninja-build pkg-config libexpat1-dev libssl-dev
          libsqlite3-dev libpq-dev libcpp-httplib-dev clang libclang-rt-14-dev libgtest-dev
          libgmock-dev libjwt-dev redis-server postgresql dpkg-dev systemd groff-base openssl)

missing_packages() {
    local pkg missing=()
    for pkg in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$pkg")
    done
    echo "${missing[@]}"
}

install_packages() {
    local missing
    missing="$(missing_packages)"
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: $missing" >&2
        echo "install them with: sudo apt-get install $missing" >&2
        exit 1
    fi
    echo "installing: $missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null
    # shellcheck disable=SC2086
    apt-get install -y -q $missing >/dev/null
}

# build DIR [cmake args...] [--target T]...
build() {
    local dir="$1"; shift
    local args=() target=()
    while [ $# -gt 0 ]; do
        if [ "$1" = "--target" ]; then target+=("$2"); shift 2; else args+=("$1"); shift; fi
    done
    cmake -S "$ROOT" -B "$dir" -G Ninja "${args[@]}" >/dev/null
    if [ ${#target[@]} -gt 0 ]; then
        cmake --build "$dir" -j "$(nproc)" --target "${target[@]}"
    else
        cmake --build "$dir" -j "$(nproc)"
    fi
}
