#!/bin/sh
echo "RIG: bench not written yet"
