#!/bin/sh
# Runs each line the host sends as a shell command and answers with its
# standard output, its standard error and its exit status, between markers
# that the host searches for (kernel messages never go to this port).
echo "@@@ready@@@"
while IFS= read -r line; do
  sh -c "$line" > /tmp/agent.out 2> /tmp/agent.err < /dev/null
  status=$?
  cat /tmp/agent.out
  printf '\n@@@err@@@\n'
  cat /tmp/agent.err
  printf '\n@@@status %d@@@\n' "$status"
done
