#!/usr/bin/env bash
set -euo pipefail
echo "(leg unstable_interpreters: not built yet)"
