-- Stores answers of jobs still held by the consumer, in its claims or, for a job its solver took
-- with its bell entry, in its hand (a job taken over meanwhile is answered by its new solver),
-- counts their real size against their owners until delivered, and tells waiting polls; then,
-- when asked, takes the consumer's next jobs as a claim does, so that a busy solver needs no call
-- of its own to find more work. Returns how many were stored, then member and record of each job
-- taken.
-- KEYS: 1 the consumer's claims, 2 held results, 3 the consumer's hand, 4 queue, 5 virtual time,
--       6 bell
-- ARGV: 1 prefix, 2 channel, 3 the caller's clock (ms), 4 most jobs to take (0: none), 5 owners
--       passed over, then those owners; then per job: member, ttl ms, cost held so far, new cost,
--       record, bell entry ('' for a claimed job)
local prefix = ARGV[1]
local skip, first_job = {}, 6 + tonumber(ARGV[5])
for i = 6, first_job - 1 do skip[ARGV[i]] = true end
local owners, out = {}, {held = {}, ended = {}}
for i = first_job, #ARGV, 6 do
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
local taken = {}
if tonumber(ARGV[4]) > 0 then
  taken = take({KEYS[4], KEYS[5], KEYS[1], KEYS[6], KEYS[3]}, prefix, tonumber(ARGV[4]), 0, skip,
               first_job > 6)
end
return {#out.ended, unpack(taken)}
