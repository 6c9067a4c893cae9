-- Takes the next job of one owner (the caller rotated the ready owners to it) and leases it, or
-- takes over the oldest lease that ran out. Keys of a job are named from its id, so this store
-- runs on one Redis, not a cluster.
-- KEYS: 1 owner queue (or '' to take over a lease), 2 ready owners, 3 totals hash, 4 leases
-- ARGV: 1 owner, 2 lease ms, 3 key prefix
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local id
if KEYS[1] == '' then
  id = redis.call('ZRANGEBYSCORE', KEYS[4], '-inf', now, 'LIMIT', 0, 1)[1]
else
  id = redis.call('LPOP', KEYS[1])
  if redis.call('LLEN', KEYS[1]) == 0 then redis.call('LREM', KEYS[2], 0, ARGV[1]) end
  if id then redis.call('HINCRBY', KEYS[3], 'queued', -1) end
end
if not id then return false end
local r = redis.call('HMGET', ARGV[3] .. 'r:' .. id, 'owner', 'kind', 'values', 'ttl', 'state',
                    'target')
if r[5] ~= 'q' then
  redis.call('ZREM', KEYS[4], id)  -- expired, or answered meanwhile
  return false
end
redis.call('ZADD', KEYS[4], now + tonumber(ARGV[2]), id)
local attempts = redis.call('HINCRBY', ARGV[3] .. 'r:' .. id, 'attempts', 1)
return {id, r[1], r[2], r[3], r[4], r[6], attempts}
