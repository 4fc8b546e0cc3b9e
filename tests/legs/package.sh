#!/usr/bin/env bash
set -euo pipefail
echo "(leg package: not built yet)"
