# Sourced by scripts/demo: hostile input gets the answer of a request that
# does not parse, and the extension goes on serving.
banner "A query nested 1001 levels deep: read as a request without keys, so no answer"
deep="$IKX_BUILD_DIR/demo-deep-query.json"
{
  printf '{"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_PRODUCT_VERSION","x":'
  printf '%*s' 1001 '' | tr ' ' '['
  printf '%*s' 1001 '' | tr ' ' ']'
  printf '}'
} > "$deep"
ask request query 'Z:'"${deep//\//\\}"
banner "The same query without the nesting is answered"
ask query VORN_ONQUERY_PRODUCT_VERSION
