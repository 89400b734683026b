# Sourced by the scripts: installs the Debian packages Orvane needs when any is missing, and
# has the build folders made with Ninja.
orvane_packages=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev libqt5serialport5-dev
    libcpp-httplib-dev libssl-dev nlohmann-json3-dev libbenchmark-dev
    fonts-dejavu-core xvfb xauth
    dpkg-dev desktop-file-utils
    lintian appstream devscripts man-db  # the package check (devscripts: hardening-check)
)

orvane_install_packages() {
    local missing=() p
    for p in "${orvane_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Every build folder is made with Ninja; one made by another generator is made afresh.
export CMAKE_GENERATOR=Ninja
orvane_fresh_build_dir() {
    local cache="$1/CMakeCache.txt"
    if [ -f "$cache" ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$cache"; then
        rm -rf "$1"
    fi
}
