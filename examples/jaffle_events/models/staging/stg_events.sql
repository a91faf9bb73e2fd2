{{ config(
    materialized='incremental',
    incremental_strategy='microbatch',
    event_time='occurred_at',
    batch_size='day',
    begin='2024-01-01',
    tags=['events'],
) }}

select
    event_id,
    customer_id,
    session_id,
    lower(event_name) as event_name,
    cast(occurred_at as timestamp) as occurred_at
from {{ source('app', 'events') }}
