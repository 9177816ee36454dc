# One row per host and recipient of the document that status.yml collects:
# host, message number, user, state, and the time and channel of the
# confirmation. Use with jq -r.
to_entries[]
| .key as $host
| .value as $message
| $message.recipients[]
| [$host, $message.number, .user, .state,
   (if .confirmed_at then (.confirmed_at | todate) else "-" end), (.channel // "-")]
| @tsv
