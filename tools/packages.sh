# Sourced by demo.sh and test.sh: installs the Debian packages that are missing.

# Packages the product needs at run time and to build (libutf8proc-dev's archive
# is linked into velloc: a server does not need the library; libopendkim11 is loaded
# when a run signs its mail).
VELLOC_RUNTIME_PACKAGES=(cmake ninja-build g++ pkg-config unixodbc unixodbc-dev libsqliteodbc
  odbc-postgresql lighttpd python3 python3-aiosmtpd gnupg curl libmspack-dev libnewt-dev gcab
  libssl-dev rapidjson-dev libcurl4-openssl-dev openssl libutf8proc-dev libopendkim11
  libldns-dev libre2-dev)
# The demo installs its challenge widget with npm; installed only when no npm is on
# the PATH (a Node.js installation may bring its own).
VELLOC_DEMO_PACKAGES=(npm)
# Further packages the tests need (nginx and systemd-socket-activate serve velloc
# persistent; ab and strace are for the benchmarks; prometheus brings promtool, which
# checks the shipped alert rules; dnsmasq-base is a name server on loopback for the
# check of the relay's name and velloc doctor's zones, without the system service that
# would take port 53; opendkim (the milter) and python3-dkim with python3-nacl verify
# the signatures).
VELLOC_TEST_PACKAGES=(clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
  postgresql mpack tmux chromium chromium-driver python3-selenium openssl postfix spamassassin spamd
  nginx-light systemd apache2-utils strace prometheus dnsmasq-base opendkim python3-dkim
  python3-nacl)

# The benchmarks' side-by-side alternative: a PHP form handler sending with PHPMailer
# under php-fpm (bench/queue.sh).
VELLOC_BENCH_PACKAGES=(php8.2-fpm libphp-phpmailer)

# The Debian package's build and its check (test.sh builds it and runs lintian).
VELLOC_PACKAGING_PACKAGES=(debhelper dpkg-dev fakeroot lintian man-db)

ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" </dev/null
}
