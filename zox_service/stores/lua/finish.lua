-- Stores answers of jobs still claimed by the consumer (a job taken over meanwhile is answered by
-- its new solver), counts their real size against their owners until delivered, and tells
-- waiting polls. Returns how many were stored.
-- KEYS: 1 the consumer's claims, 2 held results
-- ARGV: 1 prefix, 2 channel, 3 the caller's clock (ms), then per job: member, ttl ms, cost held
--       so far, new cost, record
local prefix = ARGV[1]
local now = tonumber(ARGV[3])
local owners, held, done = {}, {}, {}
for i = 4, #ARGV, 5 do
  local m = ARGV[i]
  if redis.call('SREM', KEYS[1], m) == 1 then
    local ttl, cost = tonumber(ARGV[i + 1]), ARGV[i + 3]
    redis.call('SET', prefix .. 'r:' .. id_of(m), ARGV[i + 4], 'PX', ttl)
    add(owners, owner_of(m), -1, tonumber(cost) - tonumber(ARGV[i + 2]))
    held[#held + 1] = now + ttl
    held[#held + 1] = owner_of(m) .. id_of(m) .. cost
    done[#done + 1] = ended(id_of(m), ARGV[i + 4])
  end
end
write_counts(prefix, owners)
if #done > 0 then
  redis.call('ZADD', KEYS[2], unpack(held))
  redis.call('PUBLISH', ARGV[2], table.concat(done))
end
return #done
