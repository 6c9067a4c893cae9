-- Extends the lease of a job its solver is still working on.
-- KEYS: 1 leases; ARGV: 1 id, 2 lease ms
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
return redis.call('ZADD', KEYS[1], 'XX', now + tonumber(ARGV[2]), ARGV[1])
