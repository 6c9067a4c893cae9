-- Run by a solver process that stops cleanly, for each of its consumers: the jobs it holds and
-- will not answer (taken along and not started, searches it stopped, bell entries a move it gave
-- up on brought into its hand) go back to the head of the queue at once, without counting a run
-- against them, instead of waiting for its heartbeat to lapse. Returns how many went back.
-- KEYS: 1 the consumer's claims, 2 its hand, 3 queue, 4 bell
-- ARGV: 1 prefix
local prefix, back = ARGV[1], 0
for _, m in ipairs(redis.call('SMEMBERS', KEYS[1])) do
  if requeue(prefix, KEYS[3], KEYS[4], m, 0) then back = back + 1 end
end
for _, e in ipairs(redis.call('LRANGE', KEYS[2], 0, -1)) do
  -- A bell entry taken along with its job, or one whose job is still in the queue.
  if #e < MEMBER then
    redis.call('RPUSH', KEYS[4], 1)
  elseif requeue(prefix, KEYS[3], KEYS[4], string.sub(e, 1, MEMBER), 0) then
    back = back + 1
  end
end
redis.call('DEL', KEYS[1], KEYS[2])
return back
