# Installs, with apt-get, the Debian packages named as arguments that are
# not installed yet. Sourced by the other scripts.
install_missing() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev libgmock-dev)
