#!/usr/bin/env bash
set -euo pipefail
echo "(leg fuzz: not built yet)"
