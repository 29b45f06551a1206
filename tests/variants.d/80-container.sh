#!/usr/bin/env bash
# The container image and the Kubernetes recipe. Builds the image with
# scripts/container and looks inside it; runs it with podman on the network of
# a private namespace (tests/e2e/test_container.py: a recording byte-exact in
# a volume owned by the image's user, SIGTERM to the container, --version and
# exit statuses); then checks packaging/kubernetes offline: Debian's kubectl
# renders every overlay, and every object validates against the Kubernetes
# schemas (npm's kubernetes-models) and has no field the API does not know.
# Where podman cannot run containers, that part is skipped with the reason.
# Exits non-zero on any failure; the last line is "N passed, N failed".
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

. tests/checks.sh

# crun, podman's usual runtime, fails on machines whose cgroups are mixed
# v1/v2; runc runs everywhere podman does. cgroupfs needs no systemd session.
podman=(podman --runtime runc --cgroup-manager=cgroupfs)
# Explicit limits: podman's defaults are higher than a nested machine may grant.
run_options=(run --rm --network=host --ulimit nofile=1024:1024 --ulimit nproc=1024:1024)

# python3-kubernetes gives the API's field names (for Debian's own python3).
if ! scripts/install-deps podman runc python3-kubernetes python3-yaml; then
  failed=$((failed + 1))
  verdict
fi
# Debian's npm only where there is none: another node.js may bring its own.
if ! command -v npm >/dev/null && ! scripts/install-deps nodejs npm; then
  failed=$((failed + 1))
  verdict
fi

work=$(mktemp -d /tmp/pelorin-container.XXXXXX)
trap 'rm -rf "$work"' EXIT

# --- the image ---------------------------------------------------------------

image=$(scripts/container --name)
version=${image#pelorin:}
built=""
build_image() {
  timeout 600 scripts/container >/dev/null && built=yes
}
check "scripts/container builds $image" build_image

# Exactly the four programs, each static, and the recordings' directory owned
# by the image's user; entry point, user and labels as documented.
image_contents() {
  local root listing expected
  root=$(podman image mount "$image") || return 1
  listing=$(cd "$root" && find . -mindepth 1 -printf '%p %U:%G %m\n' | sort)
  for program in "$root"/usr/bin/*; do
    readelf --program-headers "$program" | grep -q INTERP && { echo "not static: ${program##*/}"; podman image unmount "$image" >/dev/null; return 1; }
  done
  podman image unmount "$image" >/dev/null
  expected=$'./recordings 65532:65532 755\n./usr 0:0 755\n./usr/bin 0:0 755'
  for program in pelorin pelorin-check pelorin-inspect pelorin-send; do
    expected+=$'\n'"./usr/bin/$program 0:0 755"
  done
  [ "$listing" = "$expected" ] || { echo "the image holds:"; echo "$listing"; return 1; }
}
image_config() {
  podman image inspect --format '{{json .Config}}' "$image" >"$work/config.json" || return 1
  python3 - "$work/config.json" "$version" <<'EOF'
import json, sys
config, version = json.load(open(sys.argv[1])), sys.argv[2]
labels = config.get("Labels") or {}
wanted = {"Entrypoint": ["/usr/bin/pelorin"], "User": "65532:65532", "WorkingDir": "/recordings", "Cmd": None}
wrong = [f"{key}: {config.get(key)!r}" for key, value in wanted.items() if config.get(key) != value]
label = lambda key: labels.get("org.opencontainers.image." + key)
wrong += [f"label {key}: {label(key)!r}" for key, value in
          {"title": "pelorin", "version": version, "licenses": "MIT"}.items() if label(key) != value]
wrong += [f"label {key} missing" for key in ("description", "revision") if not label(key)]
if wrong:
    sys.exit("\n".join(wrong))
EOF
}
if [ -n "$built" ]; then
  check "the image holds the four static programs and /recordings, nothing else" image_contents
  check "entry point pelorin, user 65532, OCI labels with version $version" image_config
fi

# Can podman start any container here? A static program of our own that does
# nothing tells the machine's limits apart from faults of the image.
can_run_containers() {
  mkdir -p "$work/probe" &&
    echo 'int main() { return 0; }' | g++ -x c++ -static -o "$work/probe/true" - &&
    timeout 120 unshare -n "${podman[@]}" "${run_options[@]}" --rootfs "$work/probe" /true >"$work/probe.log" 2>&1
}
if [ -z "$built" ]; then
  :
elif ! can_run_containers; then
  echo "skipped: running the image: podman cannot run containers here: $(grep . "$work/probe.log" | tail -n 1)"
else
  # The test-stream tools run on the host, from the static build.
  container_e2e() {
    timeout --kill-after=30 300 env \
      PELORIN_LAUNCHER="${podman[*]} ${run_options[*]}" PELORIN="$image" PELORIN_VERSION="$version" \
      PODMAN="${podman[*]}" PELORIN_SEND=build/static/tools/pelorin-send PELORIN_CHECK=build/static/tools/pelorin-check \
      unshare -n -m python3 tests/e2e/test_container.py -v
  }
  check "the image records, stops on SIGTERM and passes its exit status on (podman, host network)" container_e2e
fi

# --- Kubernetes, offline ----------------------------------------------------------

kube=build/kubernetes-check
# kubectl from Debian's archive, unpacked rather than installed, so it never
# meets another kubectl of the machine.
kubectl_unpacked() {
  [ -x "$kube/root/usr/bin/kubectl" ] && return 0
  mkdir -p "$kube" && rm -f "$kube"/kubernetes-client_*.deb
  (cd "$kube" && apt-get download kubernetes-client >/dev/null 2>&1) ||
    { apt-get update -qq && (cd "$kube" && apt-get download kubernetes-client >/dev/null 2>&1); } || return 1
  dpkg-deb -x "$kube"/kubernetes-client_*.deb "$kube/root"
}
models_installed() {
  [ -d "$kube/node_modules/kubernetes-models" ] ||
    timeout 300 npm install --prefix "$kube" --no-save --no-audit --no-fund --loglevel=error \
      kubernetes-models@4.5.1 yaml@2.9.1 >/dev/null
}
check "Debian's kubectl (kubernetes-client) is unpacked" kubectl_unpacked
check "kubernetes-models is installed from npm" models_installed

overlays=(packaging/kubernetes/overlays/*/)
rendered_all=""
render_overlays() {
  local overlay name
  for overlay in packaging/kubernetes/base/ "${overlays[@]}"; do
    name=$(basename "$overlay")
    "$kube/root/usr/bin/kubectl" kustomize "$overlay" >"$work/$name.yaml" || { echo "kubectl kustomize $overlay failed"; return 1; }
  done
  rendered_all=yes
}
rendered=("$work/base.yaml")
for overlay in "${overlays[@]}"; do rendered+=("$work/$(basename "$overlay").yaml"); done
validate_schemas() {
  NODE_PATH="$kube/node_modules" node tests/kubernetes/validate.js "${rendered[@]}"
}
known_fields() {
  /usr/bin/python3 tests/kubernetes/known_fields.py "${rendered[@]}"
}
# Every rendered recorder runs the image this tree builds, as the image's user.
image_and_user_match() {
  local file
  for file in "${rendered[@]}"; do
    grep -q "^        image: .*/pelorin:$version\$" "$file" || { echo "$file: not the image pelorin:$version"; return 1; }
    grep -q '^        runAsUser: 65532$' "$file" || { echo "$file: not the image's user 65532"; return 1; }
  done
}
check "kubectl kustomize renders the base and ${#overlays[@]} overlays" render_overlays
if [ -n "$rendered_all" ]; then
  check "every object validates against the Kubernetes schemas" validate_schemas
  check "every field of every object is one the Kubernetes API knows" known_fields
  check "every recorder runs pelorin:$version as user 65532" image_and_user_match
fi

verdict
