-- Stores answers of jobs still held by the consumer, in its claims or, for a job its solver took
-- with its bell entry, in its hand (a job taken over meanwhile is answered by its new solver),
-- counts their real size against their owners until delivered, and tells waiting polls. Returns
-- how many were stored.
-- KEYS: 1 the consumer's claims, 2 held results, 3 the consumer's hand
-- ARGV: 1 prefix, 2 channel, 3 the caller's clock (ms), then per job: member, ttl ms, cost held
--       so far, new cost, record, bell entry ('' for a claimed job)
local prefix = ARGV[1]
local owners, out = {}, {held = {}, ended = {}}
for i = 4, #ARGV, 6 do
  local m, entry = ARGV[i], ARGV[i + 5]
  local mine = #entry > 0 and redis.call('LREM', KEYS[3], 1, entry) == 1
    or #entry == 0 and redis.call('SREM', KEYS[1], m) == 1
  if mine then
    answered(prefix, owners, out, tonumber(ARGV[3]), m, tonumber(ARGV[i + 1]), ARGV[i + 4],
             tonumber(ARGV[i + 3]), tonumber(ARGV[i + 2]))
  end
end
write_counts(prefix, owners)
if #out.ended > 0 then
  redis.call('ZADD', KEYS[2], unpack(out.held))
  redis.call('PUBLISH', ARGV[2], table.concat(out.ended))
end
return #out.ended
