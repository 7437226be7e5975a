-- wrk script: every request PUTs a manifest no request has put before (a
-- counter in an annotation) under a tag of its own, so each one is a new
-- manifest to store, as a push makes it. The config and layer must already
-- be in the repository.
--
--   wrk -s manifest_put.lua http://HOST:PORT -- REPO CONFIG_DIGEST CONFIG_SIZE LAYER_DIGEST LAYER_SIZE
local threads = 0

function setup(thread)
  threads = threads + 1
  thread:set("id", threads)
end

local repo, body_format
local counter = 0
local headers = { ["Content-Type"] = "application/vnd.oci.image.manifest.v1+json" }

function init(args)
  repo = args[1]
  body_format = '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",'
    .. '"config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"' .. args[2]
    .. '","size":' .. args[3] .. '},'
    .. '"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar+gzip","digest":"' .. args[4]
    .. '","size":' .. args[5] .. '}],'
    .. '"annotations":{"org.example.bench.put":"%d-%d"}}'
end

function request()
  counter = counter + 1
  local body = string.format(body_format, id, counter)
  return wrk.format("PUT", "/v2/" .. repo .. "/manifests/t" .. id .. "-" .. counter, headers, body)
end
